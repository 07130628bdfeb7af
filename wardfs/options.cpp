// Command-line handling of wardfs: the base directory, --copyup, --xattr, help and version.
// Every other argument is handed on to libfuse unchanged.
#include "wardfs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

int base_dir_fd = -1;
int copyup_enabled = 0;
int xattr_enabled = 0;
int passthrough_disabled = 0;
const char *record_file = nullptr;

// clang-format off
const struct fuse_opt option_table[] = {
    FUSE_OPT_KEY("-h", OPTION_KEY_HELP),
    FUSE_OPT_KEY("--help", OPTION_KEY_HELP),
    FUSE_OPT_KEY("-V", OPTION_KEY_VERSION),
    FUSE_OPT_KEY("--version", OPTION_KEY_VERSION),
    FUSE_OPT_KEY("--copyup", OPTION_KEY_COPYUP),
    // Also as mount options, since mount(8), fstab and mount units hand a FUSE helper only -o.
    FUSE_OPT_KEY("copyup", OPTION_KEY_COPYUP),
    FUSE_OPT_KEY("--xattr", OPTION_KEY_XATTR),
    FUSE_OPT_KEY("xattr", OPTION_KEY_XATTR),
    // Kernel passthrough is on wherever the kernel and libfuse have it; this turns it off.
    // Every build takes it, so one fstab line serves them all.
    FUSE_OPT_KEY("no_passthrough", OPTION_KEY_NO_PASSTHROUGH),
    // The record of what the mount changed and refused.
    FUSE_OPT_KEY("--record ", OPTION_KEY_RECORD),
    FUSE_OPT_KEY("--record=", OPTION_KEY_RECORD),
    FUSE_OPT_KEY("record=", OPTION_KEY_RECORD),
    // No log line for the guard's refusals.
    FUSE_OPT_KEY("--quiet", OPTION_KEY_QUIET),
    FUSE_OPT_KEY("quiet", OPTION_KEY_QUIET),
    FUSE_OPT_END,
};
// clang-format on

static void print_usage(const char *progname)
{
    printf("usage: %s basepath mountpoint [options]\n\n"
           "   Makes basepath visible at mountpoint such that files are read-only, directories "
           "are writable\n\n"
           "general options:\n"
           "   -o opt,[opt...]     mount options\n"
           "   -h  --help          print help\n\n",
           progname);
}

int process_option(void *data, const char *arg, int key, struct fuse_args *outargs)
{
    (void)data;
    switch (key) {
    case FUSE_OPT_KEY_NONOPT:
        if (base_dir_fd != -1)
            return 1;
        base_dir_fd =
            openat(AT_FDCWD, arg, O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
        if (base_dir_fd == -1) {
            perror("openat");
            exit(1);
        }
        return 0;
    case FUSE_OPT_KEY_OPT:
        return 1;
    case OPTION_KEY_HELP:
        print_usage(outargs->argv[0]);
        exit(0);
    case OPTION_KEY_COPYUP:
        copyup_enabled = 1;
        return 0;
    case OPTION_KEY_XATTR:
        xattr_enabled = 1;
        return 0;
    case OPTION_KEY_QUIET:
        refusals_quiet = 1;
        return 0;
    case OPTION_KEY_NO_PASSTHROUGH:
        passthrough_disabled = 1;
        return 0;
    case OPTION_KEY_RECORD:
        // libfuse hands "--recordFILE" for "--record FILE", else the option as written.
        // A copy: libfuse frees the argument it built.
        for (const char *prefix : {"--record=", "record=", "--record"})
            if (strncmp(arg, prefix, strlen(prefix)) == 0) {
                record_file = strdup(arg + strlen(prefix));
                break;
            }
        if (record_file == nullptr || *record_file == '\0') {
            fprintf(stderr, "Missing file after --record\n");
            fprintf(stderr, "see `%s -h' for usage\n", outargs->argv[0]);
            exit(1);
        }
        return 0;
    default:
        fprintf(stderr, "see `%s -h' for usage\n", outargs->argv[0]);
        exit(1);
    }
}
