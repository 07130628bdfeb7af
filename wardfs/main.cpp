// wardfs entry point: parse the command line, then run libfuse's loop until unmounted.
#include "wardfs.h"

#include <cstdio>

// Mount options that make a passthrough fast and stay correct when the base directory is
// also changed beside the mount. They come first, so the user's own -o options win where
// libfuse has a negation (no_auto_cache, no_splice_read, ...) or a value (max_write=...).
//   big_writes   writes reach the daemon in 128 KiB requests, not 4 KiB pages
//   auto_cache   cached pages survive an open unless the file's size or mtime changed
//   splice_*     data moves between /dev/fuse and the files without a copy through memory
static const char default_mount_options[] =
    "-obig_writes,auto_cache,splice_read,splice_write,splice_move";

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

    if (fuse_opt_insert_arg(&args, 1, default_mount_options) == -1)
        return 1; // libfuse has said that memory ran out

    // A failed mount must not look like success: a script would go on to change the shared
    // files in the unmounted base directory.
    int res =
        fuse_main_real(args.argc, args.argv, &operation_table, sizeof(operation_table), nullptr);
    fuse_opt_free_args(&args);
    return res == 0 ? 0 : 1;
}
