// A user who can change the base beside an allow_other mount (here through a world-writable,
// sticky tmp/) turns the daemon's root rights against the rest of the machine: a link in
// place of a directory or a file, or a name the kernel still holds for an entry that another
// user has since created. Nothing outside the base may change or be listed, and no entry may
// change in a way the base itself would refuse to that caller.
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <grp.h>
#include <sstream>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

const uid_t attacker = 65534; // nobody
const uid_t victim = 4243;

// Writes a file quietly: in the children a failure is part of the game.
void put(const std::string &path, const char *content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        (void)!write(fd, content, strlen(content));
        close(fd);
    }
}

// Names, types, modes, owners, link counts, times and contents of everything below `dir`.
std::string manifest(const std::string &dir)
{
    static std::ostringstream *out;
    std::ostringstream text;
    out = &text;
    nftw(
        dir.c_str(),
        [](const char *path, const struct stat *st, int, struct FTW *) {
            *out << path << ' ' << std::oct << st->st_mode << std::dec << ' ' << st->st_uid << ':'
                 << st->st_gid << ' ' << st->st_nlink << ' ' << st->st_size << ' '
                 << st->st_mtim.tv_sec << '.' << st->st_mtim.tv_nsec;
            if (S_ISREG(st->st_mode))
                *out << ' ' << read_file(path);
            char value[64] = {};
            if (getxattr(path, "user.mark", value, sizeof value - 1) >= 0)
                *out << " xattr=" << value;
            *out << '\n';
            return 0;
        },
        16, FTW_PHYS);
    return text.str();
}

struct containment : mount_fixture<testing::TestWithParam<std::vector<std::string>>> {
    std::string outside = work / "outside";
    std::string tmp = base + "/tmp", mtmp = mnt + "/tmp";
    std::string before;

    void SetUp() override
    {
        mount_fixture::SetUp();
        ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
        ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
        // A root-only tree outside the base, on the same file system.
        ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
        write_file(outside + "/secret", "secret");
        ASSERT_EQ(chmod((outside + "/secret").c_str(), 0600), 0);
        ASSERT_EQ(mkdir((outside + "/sub").c_str(), 0700), 0);
        write_file(outside + "/shared", "shared");
        ASSERT_EQ(link((outside + "/shared").c_str(), (outside + "/shared2").c_str()), 0);
        setxattr((outside + "/secret").c_str(), "user.mark", "root", 4, 0);
        before = manifest(outside);
    }
    void expect_outside_unchanged(const std::string &what)
    {
        EXPECT_EQ(manifest(outside), before) << what;
    }
    std::vector<std::string> options() const
    {
        std::vector<std::string> o = {"-oallow_other", "--xattr"};
        o.insert(o.end(), GetParam().begin(), GetParam().end());
        return o;
    }
};

// What the attacker does inside a directory that became a link to `outside`, from a working
// directory the kernel still takes for the old directory. Each returns -1 on failure; only
// the effect counts.
const struct {
    const char *name;
    std::function<int()> act;
} in_swapped_directory[] = {
    {"unlink", [] { return unlink("secret"); }},
    {"rmdir", [] { return rmdir("sub"); }},
    {"rename into", [] { return rename("../mine", "planted"); }},
    {"rename out of", [] { return rename("secret", "../stolen"); }},
    {"link", [] { return link("../mine", "planted"); }},
    {"create", [] { return open("planted", O_CREAT | O_WRONLY, 0644); }},
    {"mkdir", [] { return mkdir("planted", 0755); }},
    {"symlink", [] { return symlink("x", "planted"); }},
    {"chmod", [] { return chmod("secret", 0666); }},
    {"chown", [] { return chown("secret", attacker, attacker); }},
    {"truncate", [] { return truncate("secret", 0); }},
    {"utimens",
     [] {
         const struct timespec t[2] = {{0, 0}, {0, 0}};
         return utimensat(AT_FDCWD, "secret", t, 0);
     }},
    {"setxattr", [] { return setxattr("secret", "user.mark", "evil", 4, 0); }},
    {"removexattr", [] { return removexattr("secret", "user.mark"); }},
    {"write to a shared file",
     [] {
         int fd = open("shared", O_WRONLY | O_APPEND);
         return fd < 0 ? -1 : static_cast<int>(write(fd, "x", 1));
     }},
    {"listing",
     [] {
         // A name from outside seen through the mount is a leak.
         DIR *d = opendir(".");
         if (d == nullptr)
             return 0;
         int leaked = 0;
         while (struct dirent *e = readdir(d))
             leaked |= std::string(e->d_name) == "secret";
         closedir(d);
         return leaked ? 99 : 0;
     }},
};

TEST_P(containment, link_in_place_of_a_directory)
{
    wardfs_mount m(base, mnt, options());
    int round = 0;
    for (const auto &c : in_swapped_directory) {
        std::string dir = "/d" + std::to_string(round++);
        std::string d = tmp + dir, out = outside;
        int status = as_user(attacker, [&] {
            put(tmp + "/mine", "mine");
            if (mkdir(d.c_str(), 0755) != 0 || chdir((mtmp + dir).c_str()) != 0)
                return 125;
            if (rename(d.c_str(), (d + "2").c_str()) != 0 || symlink(out.c_str(), d.c_str()) != 0)
                return 124;
            int res = c.act();
            return std::string(c.name) == "listing" ? res : 0;
        });
        EXPECT_NE(status, 99) << c.name << ": the outside directory was listed";
        EXPECT_LT(status, 124) << c.name << ": setup failed";
        expect_outside_unchanged(c.name);
        ASSERT_EQ(system(("rm -rf " + tmp + "/*").c_str()), 0);
    }
}

// The attacker's own file, open through the mount, is replaced beside it by a link to a file
// outside; then it changes the open file through its descriptor and through /proc/self/fd.
const struct {
    const char *name;
    std::function<int(int fd, const std::string &proc)> act;
} through_open_file[] = {
    {"fchmod", [](int fd, const std::string &) { return fchmod(fd, 0666); }},
    {"chmod /proc", [](int, const std::string &p) { return chmod(p.c_str(), 0666); }},
    {"fchown", [](int fd, const std::string &) { return fchown(fd, attacker, attacker); }},
    {"chown /proc", [](int, const std::string &p) { return chown(p.c_str(), attacker, attacker); }},
    {"ftruncate", [](int fd, const std::string &) { return ftruncate(fd, 0); }},
    {"truncate /proc", [](int, const std::string &p) { return truncate(p.c_str(), 0); }},
    {"futimens",
     [](int fd, const std::string &) {
         const struct timespec t[2] = {{0, 0}, {0, 0}};
         return futimens(fd, t);
     }},
    {"utimens /proc",
     [](int, const std::string &p) {
         const struct timespec t[2] = {{0, 0}, {0, 0}};
         return utimensat(AT_FDCWD, p.c_str(), t, 0);
     }},
    {"fsetxattr",
     [](int fd, const std::string &) { return fsetxattr(fd, "user.mark", "e", 1, 0); }},
    {"setxattr /proc",
     [](int, const std::string &p) { return setxattr(p.c_str(), "user.mark", "e", 1, 0); }},
};

TEST_P(containment, link_in_place_of_an_open_file)
{
    wardfs_mount m(base, mnt, options());
    // Every round takes names of its own: the kernel may still hold the last round's.
    int round = 0;
    for (const auto &c : through_open_file) {
        for (const std::string target : {"secret", "shared"}) {
            std::string mine = "/mine" + std::to_string(round++);
            std::string name = tmp + mine, out = outside + "/" + target;
            int status = as_user(attacker, [&] {
                int fd = open((mtmp + mine).c_str(), O_RDWR | O_CREAT, 0644);
                if (fd < 0)
                    return 125;
                if (rename(name.c_str(), (name + ".old").c_str()) != 0 ||
                    symlink(out.c_str(), name.c_str()) != 0)
                    return 124;
                c.act(fd, "/proc/self/fd/" + std::to_string(fd));
                return 0;
            });
            EXPECT_EQ(status, 0) << c.name << ": setup failed";
            expect_outside_unchanged(std::string(c.name) + " on " + target);
            ASSERT_EQ(system(("rm -rf " + tmp + "/*").c_str()), 0);
        }
    }
}

// No link at all: the attacker makes and looks up tmp/x through the mount and removes it
// beside the mount; the victim creates tmp/x (0600). The kernel still holds the attacker's
// entry, but the base's sticky rule and the victim's mode must decide.
const struct {
    const char *name;
    std::function<int(int old_fd, const std::string &x)> act;
} on_stale_entry[] = {
    {"unlink", [](int, const std::string &x) { return unlink(x.c_str()); }},
    {"rename", [](int, const std::string &x) { return rename(x.c_str(), (x + "y").c_str()); }},
    {"rename over",
     [](int, const std::string &x) {
         put(x + "z", "attacker");
         return rename((x + "z").c_str(), x.c_str());
     }},
    {"chmod", [](int, const std::string &x) { return chmod(x.c_str(), 0666); }},
    {"fchmod of an older descriptor", [](int fd, const std::string &) { return fchmod(fd, 0666); }},
    {"chown", [](int, const std::string &x) { return chown(x.c_str(), attacker, attacker); }},
    {"truncate", [](int, const std::string &x) { return truncate(x.c_str(), 0); }},
    {"ftruncate of an older descriptor",
     [](int fd, const std::string &) { return ftruncate(fd, 0); }},
    {"utimens",
     [](int, const std::string &x) {
         const struct timespec t[2] = {{0, 0}, {0, 0}};
         return utimensat(AT_FDCWD, x.c_str(), t, 0);
     }},
    {"open for writing",
     [](int, const std::string &x) {
         int fd = open(x.c_str(), O_WRONLY | O_TRUNC);
         return fd < 0 ? -1 : static_cast<int>(write(fd, "evil", 4));
     }},
    {"setxattr",
     [](int, const std::string &x) { return setxattr(x.c_str(), "user.mark", "e", 1, 0); }},
    {"removexattr", [](int, const std::string &x) { return removexattr(x.c_str(), "user.mark"); }},
    {"link", [](int, const std::string &x) { return link(x.c_str(), (x + "l").c_str()); }},
};

TEST_P(containment, stale_entry_of_another_user)
{
    wardfs_mount m(base, mnt, options());
    int round = 0;
    for (const auto &c : on_stale_entry) {
        const std::string name = "/x" + std::to_string(round++), x = tmp + name;
        // The attacker's side runs in one child, paused while the victim creates the file.
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        pid_t pid = fork();
        if (pid == 0) {
            _exit(as_user(attacker, [&] {
                put(mtmp + name, "attacker");
                int fd = open((mtmp + name).c_str(), O_RDWR);
                struct stat st;
                if (fd < 0 || stat((mtmp + name).c_str(), &st) != 0 || unlink(x.c_str()) != 0)
                    return 125;
                char b = 0;
                if (write(ready[1], &b, 1) != 1 || read(go[0], &b, 1) != 1)
                    return 124;
                c.act(fd, mtmp + name);
                return 0;
            }));
        }
        close(ready[1]);
        close(go[0]);
        char b = 0;
        ASSERT_EQ(read(ready[0], &b, 1), 1) << c.name << ": setup failed";
        ASSERT_EQ(as_user(victim,
                          [&] {
                              put(x, "victim");
                              return chmod(x.c_str(), 0600) |
                                     setxattr(x.c_str(), "user.mark", "v", 1, 0);
                          }),
                  0);
        struct stat victim_before = lstat_of(x);
        ASSERT_EQ(write(go[1], &b, 1), 1);
        int status = 0;
        waitpid(pid, &status, 0);
        close(ready[0]);
        close(go[1]);
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.name << ": setup failed";
        struct stat now = lstat_of(x);
        EXPECT_EQ(now.st_ino, victim_before.st_ino) << c.name << ": the victim's file was replaced";
        EXPECT_EQ(now.st_mode, victim_before.st_mode) << c.name;
        EXPECT_EQ(now.st_uid, victim) << c.name;
        EXPECT_EQ(now.st_mtim.tv_sec, victim_before.st_mtim.tv_sec) << c.name;
        EXPECT_EQ(exists(x) ? read_file(x) : "", "victim") << c.name;
        char value[8] = {};
        EXPECT_EQ(getxattr(x.c_str(), "user.mark", value, sizeof value), 1) << c.name;
        EXPECT_FALSE(exists(x + "y")) << c.name;
        ASSERT_EQ(system(("rm -rf " + tmp + "/*").c_str()), 0);
    }
}

// Symbolic links made through the mount, inside the base, are followed by the kernel as ever:
// into a directory, onto a file, and by a relative path up and back down.
TEST_P(containment, links_made_through_the_mount_still_work)
{
    wardfs_mount m(base, mnt, options());
    int status = as_user(attacker, [&] {
        const std::string t = mtmp;
        if (mkdir((t + "/real").c_str(), 0755) != 0 || symlink("real", (t + "/via").c_str()) != 0 ||
            symlink("../tmp/real/file", (t + "/to-file").c_str()) != 0)
            return 1;
        put(t + "/via/file", "through a link\n");
        int fd = open((t + "/to-file").c_str(), O_WRONLY | O_APPEND);
        if (fd < 0 || write(fd, "appended\n", 9) != 9 || close(fd) != 0)
            return 2;
        if (chmod((t + "/to-file").c_str(), 0600) != 0)
            return 3;
        // Listed by the link's owner: with fs.protected_symlinks (a Debian system's default)
        // no one else follows a link in a sticky directory, on the base as through the mount.
        return names_in(t + "/via") == std::vector<std::string>{"file"} ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(tmp + "/real/file"), "through a link\nappended\n");
    EXPECT_EQ(lstat_of(tmp + "/real/file").st_mode & 07777, 0600u);
    expect_outside_unchanged("legitimate links");
}

// For a while, processes swap directories and files for links to the outside beside the
// mount while others work through it as nobody; the outside must come out as it went in.
TEST_P(containment, swaps_beside_the_mount_under_load)
{
    const char *seconds = getenv("CONTAINMENT_STRESS_SECONDS");
    const auto length = std::chrono::seconds(seconds != nullptr ? atoi(seconds) : 8);
    wardfs_mount m(base, mnt, options());
    for (const char *d : {"/d0", "/d1", "/d2"})
        ASSERT_EQ(as_user(attacker, [&] { return mkdir((tmp + d).c_str(), 0777); }), 0);
    const auto end = std::chrono::steady_clock::now() + length;
    std::vector<pid_t> children;
    for (int swapper = 0; swapper < 2; swapper++) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(as_user(attacker, [&] {
                for (unsigned i = swapper; std::chrono::steady_clock::now() < end; i++) {
                    std::string d = tmp + "/d" + std::to_string(i % 3);
                    std::string f = d + "/f";
                    if (rename(d.c_str(), (d + ".x").c_str()) == 0) {
                        symlink(outside.c_str(), d.c_str());
                        usleep(200);
                        unlink(d.c_str());
                        rename((d + ".x").c_str(), d.c_str());
                    }
                    if (rename(f.c_str(), (f + ".x").c_str()) == 0) {
                        symlink((outside + "/secret").c_str(), f.c_str());
                        usleep(200);
                        unlink(f.c_str());
                        rename((f + ".x").c_str(), f.c_str());
                    }
                }
                return 0;
            }));
        children.push_back(pid);
    }
    for (int worker = 0; worker < 3; worker++) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(as_user(attacker, [&] {
                int leaked = 0;
                for (unsigned i = worker; std::chrono::steady_clock::now() < end; i++) {
                    std::string d = mtmp + "/d" + std::to_string(i % 3);
                    put(d + "/f", "f");
                    int fd = open((d + "/f").c_str(), O_RDWR);
                    if (fd >= 0) {
                        fchmod(fd, 0666);
                        ftruncate(fd, 0);
                        fsetxattr(fd, "user.mark", "e", 1, 0);
                        close(fd);
                    }
                    chmod((d + "/secret").c_str(), 0666);
                    chown((d + "/f").c_str(), attacker, attacker);
                    truncate((d + "/secret").c_str(), 0);
                    unlink((d + "/secret").c_str());
                    rmdir((d + "/sub").c_str());
                    link((d + "/f").c_str(), (d + "/planted").c_str());
                    rename((d + "/planted").c_str(), (d + "/sub/planted").c_str());
                    unlink((d + "/planted").c_str());
                    if (DIR *dir = opendir(d.c_str())) {
                        while (struct dirent *e = readdir(dir))
                            leaked |= std::string(e->d_name) == "secret";
                        closedir(dir);
                    }
                }
                return leaked ? 99 : 0;
            }));
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "a child ended with " << status << " (99: the outside directory was listed)";
    }
    expect_outside_unchanged("after the swaps");
}

std::string mount_name(const testing::TestParamInfo<std::vector<std::string>> &info)
{
    static const char *const names[] = {"plain", "copyup", "long_timeouts", "copyup_long_timeouts"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    mounts, containment,
    testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--copyup"},
                    std::vector<std::string>{"-oentry_timeout=30,attr_timeout=30"},
                    std::vector<std::string>{"--copyup", "-oentry_timeout=30,attr_timeout=30"}),
    mount_name);

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
