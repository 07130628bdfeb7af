// A root daemon serving other users (allow_other) acts with each caller's rights and no
// more: it refuses what it cannot do as the caller, lends no capability (reserved blocks),
// reads attributes as the caller, makes no copy-up for a change the caller may not make, and
// keeps no descriptor of a request after it.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const uid_t nobody = 65534;
const uid_t victim = 4243;

struct identity : mount_fixture<> {
    std::string tmp = base + "/tmp";
    void SetUp() override
    {
        mount_fixture::SetUp();
        ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
        ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
    }
};

// Without CAP_SETUID the daemon cannot act as nobody: each of nobody's changes fails with
// EPERM and nothing is made as root, while root's own changes still work.
TEST_F(identity, without_cap_setuid_other_users_are_refused)
{
    ASSERT_EQ(as_user(nobody, [&] { return mkdir((tmp + "/mine").c_str(), 0755); }), 0);
    write_file(tmp + "/mine/f", "f");
    ASSERT_EQ(chown((tmp + "/mine/f").c_str(), nobody, nobody), 0);
    wardfs_mount m(base, mnt, {"-oallow_other"},
                   [] { prctl(PR_CAPBSET_DROP, CAP_SETUID, 0, 0, 0); });
    const std::string t = m / "tmp";
    const struct {
        const char *name;
        std::function<int()> change;
    } changes[] = {
        {"create", [&] { return open((t + "/new").c_str(), O_CREAT | O_WRONLY, 0644); }},
        {"mkdir", [&] { return mkdir((t + "/newdir").c_str(), 0755); }},
        {"rename", [&] { return rename((t + "/mine/f").c_str(), (t + "/mine/g").c_str()); }},
        {"unlink", [&] { return unlink((t + "/mine/f").c_str()); }},
    };
    for (const auto &c : changes)
        EXPECT_EQ(as_user(nobody, [&] { return c.change() == -1 && errno == EPERM ? 0 : 1; }), 0)
            << c.name << " was not refused with EPERM";
    EXPECT_EQ(names_in(tmp), std::vector<std::string>{"mine"});
    EXPECT_EQ(names_in(tmp + "/mine"), std::vector<std::string>{"f"});
    EXPECT_EQ(mkdir((t + "/roots").c_str(), 0755), 0) << "root acts as the daemon";
    EXPECT_NE(read_file(m.log).find("without CAP_SETUID and CAP_SETGID"), std::string::npos)
        << read_file(m.log);
}

// Bytes `uid` writes into `file` before the file system is full.
off_t fill(uid_t uid, const std::string &file)
{
    static const std::string chunk(64 << 10, 'x');
    int fd[2];
    if (pipe(fd) != 0)
        return -1;
    as_user(uid, [&] {
        off_t total = 0;
        int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        for (ssize_t n = 1; out >= 0 && n > 0; total += n > 0 ? n : 0)
            n = write(out, chunk.data(), chunk.size());
        if (out >= 0)
            close(out);
        return write(fd[1], &total, sizeof total) == sizeof total ? 0 : 1;
    });
    off_t total = -1;
    if (read(fd[0], &total, sizeof total) != sizeof total)
        total = -1;
    close(fd[0]);
    close(fd[1]);
    unlink(file.c_str());
    return total;
}

// On an ext4 with half its blocks reserved for root, nobody stops writing through the mount
// where it stops on the file system itself, and root still gets the reserve.
TEST_F(identity, reserved_blocks_stay_roots)
{
    if (system("command -v mkfs.ext4 >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: mkfs.ext4 (e2fsprogs) is missing ***";
    const std::string image = work / "ext4.img", ext = work / "ext";
    ASSERT_EQ(mkdir(ext.c_str(), 0755), 0);
    ASSERT_EQ(system(("truncate -s 16M " + image + " && mkfs.ext4 -q -m 50 " + image +
                      " && mount -o loop " + image + " " + ext)
                         .c_str()),
              0);
    ASSERT_EQ(mkdir((ext + "/tmp").c_str(), 01777), 0);
    ASSERT_EQ(chmod((ext + "/tmp").c_str(), 01777), 0);
    const off_t direct = fill(nobody, ext + "/tmp/direct");
    const off_t by_root = fill(0, ext + "/tmp/root");
    off_t through = -1, root_through = -1;
    {
        wardfs_mount m(ext, mnt, {"-oallow_other"});
        through = fill(nobody, m / "tmp/through");
        root_through = fill(0, m / "tmp/root");
    }
    EXPECT_EQ(umount2(ext.c_str(), 0), 0);
    ASSERT_GT(direct, 0);
    EXPECT_LE(std::abs(through - direct), 64 << 10) << "nobody: " << through << " through the "
                                                    << "mount, " << direct << " directly";
    EXPECT_GT(by_root, direct + (2 << 20)) << "the file system reserves nothing for root";
    EXPECT_GT(root_through, direct + (2 << 20)) << "root lost its reserve through the mount";
}

// A file system mounted below the base unmounts, without -l, right after use through the
// mount: no descriptor of a finished request keeps it busy.
TEST_F(identity, mount_below_the_base_unmounts_after_use)
{
    const std::string sub = base + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", sub.c_str(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_EQ(mkdir((sub + "/d").c_str(), 0755), 0);
    write_file(sub + "/d/f", "f");
    wardfs_mount m(base, mnt, {"-oattr_timeout=0,entry_timeout=0"});
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(exists(m / "sub/d/f"));
    EXPECT_EQ(umount2(sub.c_str(), 0), 0) << strerror(errno);
    if (umount2(sub.c_str(), MNT_DETACH) == 0)
        ADD_FAILURE() << "the tmpfs was still mounted";
}

// Attributes through a name the kernel still holds for nobody's file, which another user has
// since replaced with a 0600 file of its own: nobody reads what it could read on the base.
TEST_F(identity, attributes_are_read_as_the_caller)
{
    wardfs_mount m(base, mnt, {"-oallow_other,entry_timeout=30,attr_timeout=30", "--xattr"});
    const std::string x = tmp + "/x", mx = m / "tmp/x";
    ASSERT_EQ(as_user(nobody,
                      [&] {
                          write_file(mx, "mine");
                          return exists(mx) && unlink(x.c_str()) == 0 ? 0 : 1;
                      }),
              0);
    ASSERT_EQ(as_user(victim,
                      [&] {
                          write_file(x, "victim");
                          return chmod(x.c_str(), 0600) |
                                 setxattr(x.c_str(), "user.tag", "secret", 6, 0);
                      }),
              0);
    auto read_tag = [](const std::string &path) {
        return as_user(nobody, [&] {
            char value[16] = {};
            ssize_t n = getxattr(path.c_str(), "user.tag", value, sizeof value);
            return n >= 0 ? (strcmp(value, "secret") == 0 ? 99 : 98) : errno == EACCES ? 0 : 97;
        });
    };
    EXPECT_EQ(read_tag(x), 0) << "on the base";
    EXPECT_EQ(read_tag(mx), 0) << "through the mount (99: the victim's value was read)";
}

// A write by another user drops a file's capabilities, through the mount as on the base,
// though that user could not remove them itself.
TEST_F(identity, a_writer_drops_capabilities_as_on_the_base)
{
    if (system("command -v setcap >/dev/null && command -v getcap >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: setcap and getcap (libcap2-bin) are missing ***";
    wardfs_mount m(base, mnt, {"-oallow_other", "--xattr"});
    for (const std::string &dir : {tmp, m / "tmp"}) {
        const std::string f = dir + "/prog";
        write_file(f, "program");
        ASSERT_EQ(chmod(f.c_str(), 0777), 0);
        ASSERT_EQ(system(("setcap cap_net_raw+ep '" + f + "'").c_str()), 0);
        EXPECT_EQ(as_user(nobody,
                          [&] {
                              int fd = open(f.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                              return fd >= 0 && write(fd, "!", 1) == 1 ? 0 : 1;
                          }),
                  0)
            << dir;
        EXPECT_EQ(run("/bin/sh", {"sh", "-c", "getcap '" + f + "'"}).out, "") << dir;
        EXPECT_EQ(read_file(f), "program!") << dir;
    }
}

// nobody asks for a change of a root symbolic link's attributes that the base refuses it: the
// link, shared with a second name, is not copied up on the way.
TEST_F(identity, no_copy_up_for_a_refused_change)
{
    const std::string dir = base + "/rootdir";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(symlink("target", (dir + "/rl").c_str()), 0);
    ASSERT_EQ(link((dir + "/rl").c_str(), (dir + "/rl2").c_str()), 0);
    write_file(dir + "/f", "f");
    ASSERT_EQ(link((dir + "/f").c_str(), (dir + "/f2").c_str()), 0);
    const struct stat dir_before = lstat_of(dir);
    wardfs_mount m(base, mnt, {"-oallow_other", "--copyup", "--xattr"});
    const struct {
        const char *name;
        std::function<int(const std::string &)> change;
    } changes[] = {
        {"setxattr system.*",
         [](const std::string &p) { return lsetxattr(p.c_str(), "system.wardfs", "v", 1, 0); }},
        {"removexattr system.*",
         [](const std::string &p) { return lremovexattr(p.c_str(), "system.wardfs"); }},
        {"setxattr trusted.*",
         [](const std::string &p) { return lsetxattr(p.c_str(), "trusted.mark", "v", 1, 0); }},
        {"setxattr user.*",
         [](const std::string &p) { return lsetxattr(p.c_str(), "user.mark", "v", 1, 0); }},
        {"chown", [](const std::string &p) { return lchown(p.c_str(), nobody, nobody); }},
    };
    for (const char *name : {"/rl", "/f"})
        for (const auto &c : changes) {
            const ino_t ino = lstat_of(dir + name).st_ino;
            EXPECT_NE(as_user(nobody, [&] { return c.change(m / "rootdir" + name); }), 0)
                << c.name << " on " << name << " succeeded";
            EXPECT_EQ(lstat_of(dir + name).st_ino, ino) << c.name << " on " << name;
            EXPECT_EQ(lstat_of(dir + name).st_nlink, 2u) << c.name << " on " << name;
        }
    const struct stat dir_after = lstat_of(dir);
    EXPECT_TRUE(dir_after.st_mtim.tv_sec == dir_before.st_mtim.tv_sec &&
                dir_after.st_mtim.tv_nsec == dir_before.st_mtim.tv_nsec)
        << "the directory changed";
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"f", "f2", "rl", "rl2"}));
}

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
