// wardfs entry point: parse the command line, then run libfuse's loop until unmounted.
#include "wardfs.h"

#include <cstdio>

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

    // A failed mount must not look like success: a script would go on to change the shared
    // files in the unmounted base directory.
    int res = fuse_main_real(args.argc, args.argv, &operation_table, sizeof(operation_table),
                             nullptr);
    fuse_opt_free_args(&args);
    return res == 0 ? 0 : 1;
}
