// The record of a mount (--record FILE): one line per effect on the base, names relative to
// the base, each in double quotes with C escapes, so every byte a name can hold reads back
// exactly. The lines, in the order the changes were made:
//
//   start                          the mount began serving
//   created "NAME"                 a file, directory, symbolic link or hard link was made
//   removed "NAME"                 unlink or rmdir
//   renamed "OLD" "NEW" [replacing]
//                                  a rename (over an entry at NEW: "replacing"); what lay
//                                  beneath OLD lies beneath NEW now
//   exchanged "A" "B"              a rename with RENAME_EXCHANGE
//   changed "NAME"                 content: the first write or truncation through an open,
//                                  or a truncate by name
//   attributes "NAME"              mode, owner, times, extended attributes or inode flags
//   copied-up "NAME"               the name was given a private copy of a shared file
//   refused OPERATION "NAME" PID UID "COMM"
//                                  the guard refused a change of a shared file (EROFS)
//   end                            the mount ended cleanly
//   end incomplete                 it ended, but a line could not be written
//
// A "changed" or "attributes" line that would follow "created" of the same name, or repeat
// the line right before it, is left out: it adds nothing.
//
// Quoting: printable ASCII stands as it is except `"` and `\`, which take a backslash;
// \a \b \t \n \v \f \r stand for those bytes; valid UTF-8 stands as it is; every other byte
// is \ooo, three octal digits.
#pragma once

#include <string>
#include <string_view>

// Appends `name`, quoted.
void quote_name(std::string &out, std::string_view name);
// Reads one quoted name at `p` (leading blanks skipped), leaving `p` after it; false when
// there is none or it is malformed.
bool unquote_name(const char *&p, std::string &name);
