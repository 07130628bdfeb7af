// A name keeps switching between a private file and a hard link of a shared file, by renames
// beside the mount (as package managers and parallel builds do), while a guarded change is
// made through the mount by that name. The shared file must come out exactly as it went in,
// and the change must still reach the private file now and then: a daemon that refuses
// everything fails too.
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const char shared_content[] = "shared content\n";

// Each change returns 0 when the call succeeded; what it did is judged from the shared file.
const struct {
    const char *name;
    bool needs_xattr;
    std::function<int(const std::string &)> change;
} guarded_changes[] = {
    {"open O_RDONLY|O_TRUNC", false,
     [](const std::string &x) {
         int fd = open(x.c_str(), O_RDONLY | O_TRUNC);
         return fd < 0 ? -1 : close(fd);
     }},
    {"open O_WRONLY|O_TRUNC", false,
     [](const std::string &x) {
         int fd = open(x.c_str(), O_WRONLY | O_TRUNC);
         return fd < 0 ? -1 : close(fd);
     }},
    {"open O_WRONLY and write", false,
     [](const std::string &x) {
         int fd = open(x.c_str(), O_WRONLY);
         if (fd < 0)
             return -1;
         int res = pwrite(fd, "DAMAGE", 6, 0) == 6 ? 0 : -1;
         return close(fd) | res;
     }},
    {"truncate", false, [](const std::string &x) { return truncate(x.c_str(), 1); }},
    {"chmod", false, [](const std::string &x) { return chmod(x.c_str(), 0600); }},
    {"chown", false, [](const std::string &x) { return chown(x.c_str(), 4242, 4242); }},
    {"setxattr", true,
     [](const std::string &x) { return setxattr(x.c_str(), "user.mark", "DAMAGE", 6, 0); }},
    {"removexattr", true, [](const std::string &x) { return removexattr(x.c_str(), "user.mark"); }},
};

// Content, mode, owner and mark of a file, in one line.
std::string state_of(const std::string &path)
{
    struct stat st = lstat_of(path);
    char mark[16] = {};
    ssize_t n = getxattr(path.c_str(), "user.mark", mark, sizeof mark - 1);
    return read_file(path) + " mode " + std::to_string(st.st_mode & 07777) + " owner " +
           std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " mark " +
           (n < 0 ? "none" : mark);
}

struct guard_race : mount_fixture<testing::TestWithParam<std::vector<std::string>>> {
    std::string orig = work / "orig";
    bool xattrs() const
    {
        for (const auto &o : GetParam())
            if (o == "--xattr")
                return true;
        return false;
    }
};

// Swaps d/x and d/y, one a link of `orig` and the other a private file, until killed. When
// a copy-up left both private, x becomes a link of `orig` again. Then a private file is
// renamed over x while x is the shared link: the shared inode loses that link a moment
// before the name shows the new file, and looks private through the old name meanwhile.
pid_t start_swapper(const std::string &dir, const std::string &orig)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    const std::string x = dir + "/x", y = dir + "/y", s = dir + "/s", p = dir + "/p";
    if (link(orig.c_str(), x.c_str()) != 0)
        _exit(1);
    write_file(y, "private\n");
    setxattr(y.c_str(), "user.mark", "private", 7, 0);
    for (;;) {
        for (int i = 0; i < 64; i++)
            renameat2(AT_FDCWD, x.c_str(), AT_FDCWD, y.c_str(), RENAME_EXCHANGE);
        struct stat a, b;
        if (lstat(x.c_str(), &a) == 0 && lstat(y.c_str(), &b) == 0 && a.st_nlink == 1 &&
            b.st_nlink == 1 && link(orig.c_str(), s.c_str()) == 0)
            rename(s.c_str(), x.c_str());
        for (int i = 0; i < 16; i++) {
            int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0)
                close(fd);
            if (link(orig.c_str(), s.c_str()) == 0)
                rename(s.c_str(), x.c_str());
            rename(p.c_str(), x.c_str());
        }
        if (link(orig.c_str(), s.c_str()) == 0)
            rename(s.c_str(), x.c_str());
    }
}

TEST_P(guard_race, renames_beside_the_mount_never_reach_the_shared_file)
{
    const char *seconds = getenv("GUARD_RACE_SECONDS");
    const auto length = std::chrono::milliseconds(
        static_cast<int>(1000 * (seconds != nullptr ? atof(seconds) : 1.0)));
    ASSERT_EQ(mkdir((base + "/d").c_str(), 0755), 0);
    write_file(orig, shared_content);
    ASSERT_EQ(chmod(orig.c_str(), 0644), 0);
    ASSERT_EQ(setxattr(orig.c_str(), "user.mark", "orig", 4, 0), 0);
    const std::string before = state_of(orig);

    wardfs_mount m(base, mnt, GetParam());
    for (const auto &c : guarded_changes) {
        if (c.needs_xattr && !xattrs())
            continue;
        pid_t swapper = start_swapper(base + "/d", orig);
        ASSERT_GT(swapper, 0);
        int reached = 0;
        const auto end = std::chrono::steady_clock::now() + length;
        while (std::chrono::steady_clock::now() < end)
            reached += c.change(m / "d/x") == 0;
        kill(swapper, SIGKILL);
        waitpid(swapper, nullptr, 0);
        // The swapper may die between a link and its rename: nothing of it is left for the
        // next change, whose swapper would otherwise never relink x.
        for (const char *name : {"x", "y", "s", "p"})
            unlink((base + "/d/" + name).c_str());
        EXPECT_EQ(state_of(orig), before) << c.name << " reached the shared file";
        EXPECT_GT(reached, 0) << c.name << " never reached the private file";
        // The next change starts from the shared file as it was.
        write_file(orig, shared_content);
        chmod(orig.c_str(), 0644);
        chown(orig.c_str(), 0, 0);
        setxattr(orig.c_str(), "user.mark", "orig", 4, 0);
    }
}

std::string mount_name(const testing::TestParamInfo<std::vector<std::string>> &info)
{
    static const char *const names[] = {"plain", "copyup", "xattr", "copyup_xattr"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(mounts, guard_race,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"--copyup"},
                                         std::vector<std::string>{"--xattr"},
                                         std::vector<std::string>{"--copyup", "--xattr"}),
                         mount_name);

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
