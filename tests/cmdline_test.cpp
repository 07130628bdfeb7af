// The wardfs command line, through the real binary.
#include "support.h"

#include <gtest/gtest.h>

namespace {

const std::string usage = std::string("usage: ") + wardfs_bin() +
                          " basepath mountpoint [options]\n\n"
                          "   Makes basepath visible at mountpoint such that files are read-only, "
                          "directories are writable\n\n"
                          "general options:\n"
                          "   -o opt,[opt...]     mount options\n"
                          "   -h  --help          print help\n\n";
const std::string hint = std::string("see `") + wardfs_bin() + " -h' for usage\n";
// How libfuse says that the mount point is missing.
const char *const no_mountpoint =
    WARDFS_FUSE_MAJOR == 3 ? "no mountpoint specified" : "missing mountpoint";

TEST(cmdline, help_version_and_refusals)
{
    temp_dir base;
    write_file(base / "file", "");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"-h"}, 0, usage, ""},
        {{"--help"}, 0, usage, ""},
        {{base.path, "-h"}, 0, usage, ""},
        {{"-V"}, 1, "", hint},
        {{"--version"}, 1, "", hint},
        {{}, 1, "", "Missing basepath\n" + hint},
        {{"--copyup"}, 1, "", "Missing basepath\n" + hint},
        {{base / "file", "/mnt"}, 1, "", "openat: Not a directory\n"},
        {{base / "missing", "-h"}, 1, "", "openat: No such file or directory\n"},
        {{"-o"}, 1, "", "fuse: missing argument after `-o'\nInvalid arguments\n" + hint},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {wardfs_bin()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run(wardfs_bin(), argv);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
    }
}

// Without a mount point libfuse refuses, and that failure reaches the exit status.
TEST(cmdline, libfuse_failure_is_exit_status_1)
{
    temp_dir base;
    run_result r = run(wardfs_bin(), {wardfs_bin(), base.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(no_mountpoint), std::string::npos) << r.err;
}

// --copyup anywhere is taken by wardfs and never reaches libfuse, which would refuse it.
TEST(cmdline, copyup_anywhere)
{
    temp_dir base;
    const std::vector<std::vector<std::string>> cases = {{"--copyup", base.path, "-h"},
                                                         {base.path, "--copyup", "-h"},
                                                         {base.path, "-h", "--copyup"}};
    for (const auto &args : cases) {
        std::vector<std::string> argv = {wardfs_bin()};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run(wardfs_bin(), argv);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
    }
    // Without -h: libfuse sees no unknown option, only the missing mount point.
    run_result r = run(wardfs_bin(), {wardfs_bin(), base.path, "--copyup"});
    EXPECT_EQ(r.err.find("--copyup"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(no_mountpoint), std::string::npos) << r.err;
}

} // namespace
