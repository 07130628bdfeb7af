/* libvaskel-1: the small part of the vaskel library that the boot programs and wardfs call.
 * C linkage and the soname "libvaskel-1.so.1", so a system copy of the library (or a test
 * double with the same soname) can stand in its place. */
#ifndef VASKEL_H
#define VASKEL_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VASKEL_EXPORT __attribute__((visibility("default")))

/* GLib's cancellable object; only ever passed through, so no GIO headers are needed. */
typedef struct _GCancellable GCancellable;

/* Gives the name `path` (relative to the directory `dfd`) an inode of its own.
 *
 * A regular file is copied into a temporary file in the same directory (reflink, else
 * copy_file_range, else read/write; holes are kept), with mode, ownership, access and
 * modification times and extended attributes; a symbolic link is recreated with the same
 * target and ownership. The copy is then renamed over the name in one atomic step.
 *
 * `skip_xattrs`: TRUE leaves extended attributes out of the copy; FALSE copies them, and a
 * file system without extended attributes counts as having none. Either way the copy keeps
 * no attribute the original lacks, such as an ACL it took from the directory's default.
 *
 * A name with a single link succeeds and changes nothing. If another call replaced the name
 * while this one was copying, this call drops its copy and succeeds: the name then already
 * has a private inode.
 *
 * On failure returns FALSE, removes the temporary, leaves the name on its old inode, and sets
 * `error` with a code of GIOErrorEnum's numbering (1 not found, 3 is a directory, 12 no space,
 * 14 permission denied, 0 anything else) and a message naming the file and the failed step.
 * `cancellable` is not consulted. */
VASKEL_EXPORT gboolean vaskel_break_hardlink(int dfd, const char *path, gboolean skip_xattrs,
                                             GCancellable *cancellable, GError **error);

/* The private command table. `run_generator` receives the "vaskel=" value and the normal,
 * early and late generator directories (early may be NULL).
 *
 * This library's generator writes nothing. It returns TRUE, or FALSE with `error` set when
 * the value is empty or not an absolute path, or when the normal or late directory is not an
 * existing directory. */
typedef struct private_command_table {
    gboolean (*run_generator)(const char *value, const char *normal_dir, const char *early_dir,
                              const char *late_dir, GError **error);
} private_command_table;

/* Returns the library's command table; the library owns it. */
VASKEL_EXPORT const private_command_table *vaskel_cmd__private__(void);

#ifdef __cplusplus
}
#endif

#endif
