// Helpers shared by the test programs: temporary trees, files, running programs, the mount
// fixture and the skip rule for tests that need root or /dev/fuse.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// A directory under /tmp, removed with everything below it.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
struct stat lstat_of(const std::string &path);
bool exists(const std::string &path);
// The entries of a directory other than "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> names_in(const std::string &dir);

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv[0] with the given arguments (argv[0] is also the program name seen by it). The
// optional `child_setup` runs in the child before exec; an empty argv runs `program` with
// argc 0.
run_result run(const std::string &program, const std::vector<std::string> &argv,
               const std::function<void()> &child_setup = {});

// Runs `fn` in a child with the identity `uid`:`uid` and no supplementary groups; its result
// is the child's exit status (0 for success).
int as_user(uid_t uid, const std::function<int()> &fn);

// Replaces the process with `program` and `argv` (argv[0] included; argv ends with null).
// In a cross build the program runs under the build's emulator, which cannot give it an
// empty argv: it then sees its own path as argv[0].
[[noreturn]] void exec_program(const char *program, char *const argv[]);

// True when programs of the build run under an emulator: a cross build, on a machine that
// has the emulator.
bool emulated();

// The program that the environment variable `name` names, else the build's own `built`.
const char *program_under_test(const char *name, const char *built);

// The wardfs and wardfs-record-names under test: the build's, or the installed programs that
// the environment names in WARDFS and WARDFS_RECORD_NAMES.
const char *wardfs_bin();
const char *record_names_bin();

// A shell script that starts the wardfs of this build with its arguments, as the test fixture
// does (under the emulator, and with the options of a ThreadSanitizer build), for programs
// that start wardfs by name.
std::string wardfs_launcher_script();

// Lines of /proc/self/mountinfo: the mount point and the rest of the line.
std::string mountinfo_line(const std::string &mount_point);

// A wardfs daemon serving `base` at `mnt`, started with -f and waited for with a deadline;
// the destructor unmounts (lazily and with a kill as a fallback) and reaps the daemon. The
// optional `child_setup` runs in the daemon's process before it starts (to drop
// capabilities, say).
struct wardfs_mount {
    std::string base, mnt, log;
    pid_t pid = -1;
    wardfs_mount(const std::string &base, const std::string &mnt,
                 const std::vector<std::string> &extra = {},
                 const std::function<void()> &child_setup = {});
    ~wardfs_mount();
    // Unmounts and reaps the daemon, as the destructor does; then what it wrote.
    void stop();
    std::string stop_and_read_log();
    wardfs_mount(const wardfs_mount &) = delete;
    wardfs_mount &operator=(const wardfs_mount &) = delete;
    std::string operator/(const std::string &name) const { return mnt + "/" + name; }
};

// The fixture of every suite that mounts: a work directory other users can reach (as nobody
// through allow_other), the base directory made in it, and the path of the mount point that
// wardfs_mount makes. A suite's own SetUp calls this one first.
template <typename Test = testing::Test> struct mount_fixture : Test {
    temp_dir work;
    std::string base = work / "base", mnt = work / "mnt";
    void SetUp() override
    {
        ASSERT_EQ(chmod(work.path.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    }
};

// main() for test programs that need root (and /dev/fuse when `need_fuse`): reports a loud
// skip with status 77 when they are missing, else runs the tests.
int run_privileged_tests(int argc, char **argv, bool need_fuse);
