// wardfs entry point: parse the command line, then run libfuse's loop until unmounted.
#include "wardfs.h"

#include <cstdio>
#include <sys/stat.h>
#include <syslog.h>

// Mount options that make a passthrough fast and stay correct when the base directory is
// also changed beside the mount. They come first, so the user's own -o options win where
// libfuse has a negation (no_auto_cache, no_splice_read, ...) or a value (max_write=...).
//   big_writes   writes reach the daemon in 128 KiB requests, not 4 KiB pages
//   auto_cache   cached pages survive an open unless the file's size or mtime changed
//   splice_*     data moves between /dev/fuse and the files without a copy through memory
//   use_ino, readdir_ino
//                stat and readdir show the base's inode numbers, so the names of one inode
//                are seen as hard links (find -samefile, tar, du, cp -a) and numbers stay
//                put across lookups
static const char default_mount_options[] =
    "-obig_writes,auto_cache,splice_read,splice_write,splice_move,use_ino,readdir_ino";

// Options wardfs notes on its way to libfuse, which gets every argument as it is.
enum { KEY_ALLOW_OTHER, KEY_FOREGROUND };
static const struct fuse_opt noted_option_table[] = {
    FUSE_OPT_KEY("allow_other", KEY_ALLOW_OTHER),
    // libfuse stays in the foreground with any of these.
    FUSE_OPT_KEY("-f", KEY_FOREGROUND),
    FUSE_OPT_KEY("-d", KEY_FOREGROUND),
    FUSE_OPT_KEY("debug", KEY_FOREGROUND),
    FUSE_OPT_END,
};
struct noted_options {
    bool allow_other = false;
    bool foreground = false;
};

static int note_option(void *data, const char *, int key, struct fuse_args *)
{
    auto *noted = static_cast<noted_options *>(data);
    if (key == KEY_ALLOW_OTHER)
        noted->allow_other = true;
    else if (key == KEY_FOREGROUND)
        noted->foreground = true;
    return 1;
}

int main(int argc, char *argv[])
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);

    if (fuse_opt_parse(&args, &base_dir_fd, option_table, process_option) != 0) {
        fprintf(stderr, "Invalid arguments\n");
        fprintf(stderr, "see `%s -h' for usage\n", argv[0]);
        return 1;
    }
    if (base_dir_fd == -1) {
        fprintf(stderr, "Missing basepath\n");
        fprintf(stderr, "see `%s -h' for usage\n", argv[0]);
        return 1;
    }

    // The kernel has applied the caller's umask to every mode it sends; the daemon's own would
    // take away bits a second time.
    umask(0);

    // The daemon runs with its own rights (root, usually) and asks the kernel for no
    // permission checks, so with "allow_other" any user could read and change through the
    // mount what only the owner may. "default_permissions" makes the kernel check each access
    // against the mode and owner the base directory reports.
    noted_options noted;
    if (fuse_opt_insert_arg(&args, 1, default_mount_options) == -1 ||
        fuse_opt_parse(&args, &noted, noted_option_table, note_option) != 0 ||
        (noted.allow_other && fuse_opt_add_arg(&args, "-odefault_permissions") == -1))
        return 1; // libfuse has said that memory ran out
    const bool allow_other = noted.allow_other;
    // Refusals are logged on standard error while the daemon stays in the foreground; once it
    // has detached, standard error is /dev/null and the system log takes them.
    log_to_stderr = noted.foreground;
    if (!log_to_stderr)
        openlog("wardfs", LOG_PID, LOG_DAEMON);

    // A root daemon acts as each caller; one that may not (a capability bounding set without
    // CAP_SETUID or CAP_SETGID) refuses other users' requests rather than make them as root.
    prepare_identity_switches();
    if (allow_other && !may_act_as_others())
        fprintf(stderr, "wardfs: without CAP_SETUID and CAP_SETGID, requests of other users "
                        "are refused\n");

    // The record is opened before the daemon detaches, so a file it cannot have ends the start.
    if (record_file != nullptr && (record_fd = open_record_file(record_file)) < 0)
        return 1;

    // A failed mount must not look like success: a script would go on to change the shared
    // files in the unmounted base directory.
    record_mark(true);
    int res = run_fuse(&args);
    log_refusals_end();
    record_mark(false);
    fuse_opt_free_args(&args);
    return res == 0 ? 0 : 1;
}
