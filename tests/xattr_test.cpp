// Extended attributes through a wardfs mount with -o xattr: read everywhere, changed on
// unshared entries, refused (or copied up first) on shared ones, on the entry itself rather
// than a symbolic link's target, and kept by setcap and tar on the way in and out.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct xattrs : mount_fixture<testing::TestWithParam<bool>> {
    void SetUp() override
    {
        mount_fixture::SetUp();
        write_file(base + "/plain", "plain");
        write_file(base + "/shared", "shared");
        ASSERT_EQ(link((base + "/shared").c_str(), (base + "/other").c_str()), 0);
        ASSERT_EQ(setxattr((base + "/shared").c_str(), "user.old", "o", 1, 0), 0);
        ASSERT_EQ(symlink("plain", (base + "/sym").c_str()), 0);
    }
    std::vector<std::string> options() const
    {
        return GetParam() ? std::vector<std::string>{"-oxattr", "--copyup"}
                          : std::vector<std::string>{"--xattr"};
    }
};

// errno of a call that returns -1 on failure, else 0.
int errno_of(ssize_t res)
{
    return res == -1 ? errno : 0;
}

// The names of the attributes of `path` (the entry itself), sorted as listed.
std::string names_of(const std::string &path)
{
    char list[1024];
    ssize_t n = llistxattr(path.c_str(), list, sizeof list);
    return n < 0 ? std::string("error ") + strerror(errno) : std::string(list, n);
}

std::string value_of(const std::string &path, const char *name)
{
    char value[256];
    ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("error ") + strerror(errno) : std::string(value, n);
}

TEST_P(xattrs, user_attributes_and_the_size_protocol)
{
    wardfs_mount m(base, mnt, options());
    const std::string p = m / "plain";
    EXPECT_EQ(errno_of(setxattr(p.c_str(), "user.k", "value", 5, 0)), 0);
    EXPECT_EQ(errno_of(setxattr(p.c_str(), "user.k", "v", 1, XATTR_CREATE)), EEXIST);
    EXPECT_EQ(errno_of(setxattr(p.c_str(), "user.n", "v", 1, XATTR_REPLACE)), ENODATA);
    EXPECT_EQ(value_of(base + "/plain", "user.k"), "value");
    EXPECT_EQ(names_of(p), names_of(base + "/plain"));

    char small[2];
    EXPECT_EQ(getxattr(p.c_str(), "user.k", nullptr, 0), 5) << "size 0 asks for the size";
    EXPECT_EQ(errno_of(getxattr(p.c_str(), "user.k", small, sizeof small)), ERANGE);
    EXPECT_EQ(listxattr(p.c_str(), nullptr, 0), llistxattr((base + "/plain").c_str(), nullptr, 0));
    EXPECT_EQ(errno_of(listxattr(p.c_str(), small, sizeof small)), ERANGE);
    EXPECT_EQ(errno_of(getxattr(p.c_str(), "user.none", small, sizeof small)), ENODATA);
    const std::string huge(70000, 'h');
    EXPECT_EQ(errno_of(setxattr(p.c_str(), "user.h", huge.data(), huge.size(), 0)), E2BIG);
    EXPECT_EQ(errno_of(lsetxattr((m / "sym").c_str(), "user.k", "v", 1, 0)), EPERM)
        << "no user attributes on symbolic links";

    EXPECT_EQ(errno_of(removexattr(p.c_str(), "user.k")), 0);
    EXPECT_EQ(errno_of(removexattr(p.c_str(), "user.k")), ENODATA);
    EXPECT_EQ(names_of(base + "/plain"), "");
}

// Reading a shared file's attributes changes nothing; setting or removing one is refused, or
// with copy-up reaches the private copy only, which keeps the attributes it had.
TEST_P(xattrs, shared_files_are_guarded)
{
    const bool copyup = GetParam();
    wardfs_mount m(base, mnt, options());
    EXPECT_EQ(value_of(m / "shared", "user.old"), "o");
    EXPECT_EQ(names_of(m / "shared"), std::string("user.old") + '\0');
    EXPECT_EQ(errno_of(setxattr((m / "shared").c_str(), "user.new", "n", 1, 0)),
              copyup ? 0 : EROFS);
    EXPECT_EQ(errno_of(removexattr((m / "shared").c_str(), "user.old")), copyup ? 0 : EROFS);
    EXPECT_EQ(names_of(base + "/other"), std::string("user.old") + '\0')
        << "the other name is unchanged";
    EXPECT_EQ(lstat_of(base + "/other").st_nlink, copyup ? 1u : 2u);
    EXPECT_EQ(names_of(base + "/shared"),
              copyup ? std::string("user.new") + '\0' : std::string("user.old") + '\0');

    // A shared symbolic link: trusted attributes may be set on links, and the guard holds.
    ASSERT_EQ(link((base + "/sym").c_str(), (base + "/sym2").c_str()), 0);
    EXPECT_EQ(errno_of(lsetxattr((m / "sym").c_str(), "trusted.t", "t", 1, 0)), copyup ? 0 : EROFS);
    EXPECT_EQ(names_of(base + "/sym2"), "");
}

// The entry itself: a symbolic link's own attributes, never its target's.
TEST_P(xattrs, symbolic_links_are_not_followed)
{
    ASSERT_EQ(lsetxattr((base + "/sym").c_str(), "trusted.link", "l", 1, 0), 0);
    ASSERT_EQ(setxattr((base + "/plain").c_str(), "trusted.target", "t", 1, 0), 0);
    wardfs_mount m(base, mnt, options());
    EXPECT_EQ(value_of(m / "sym", "trusted.link"), "l");
    EXPECT_EQ(names_of(m / "sym"), std::string("trusted.link") + '\0');
    EXPECT_EQ(errno_of(lsetxattr((m / "sym").c_str(), "trusted.more", "m", 1, 0)), 0);
    EXPECT_EQ(errno_of(lremovexattr((m / "sym").c_str(), "trusted.link")), 0);
    EXPECT_EQ(names_of(base + "/sym"), std::string("trusted.more") + '\0');
    EXPECT_EQ(names_of(base + "/plain"), std::string("trusted.target") + '\0');
}

// Package tools: setcap on an installed program, and tar --xattrs into and out of the mount.
TEST_P(xattrs, setcap_and_tar_keep_capabilities)
{
    if (system("command -v setcap >/dev/null && command -v getcap >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: setcap and getcap are missing (libcap2-bin) ***";
    wardfs_mount m(base, mnt, options());
    const std::string shell =
        "set -e; cd '" + work.path +
        "'; mkdir in out; echo p >in/prog; "
        "setcap cap_net_raw+ep mnt/plain; getcap mnt/plain; "
        "setcap cap_net_raw+ep in/prog; tar --xattrs --xattrs-include='*' -cf - -C in prog | "
        "tar --xattrs --xattrs-include='*' -xf - -C mnt; getcap mnt/prog; "
        "tar --xattrs --xattrs-include='*' -cf - -C mnt plain | "
        "tar --xattrs --xattrs-include='*' -xf - -C out; getcap out/plain";
    run_result r = run("/bin/sh", {"sh", "-c", shell});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "mnt/plain cap_net_raw=ep\nmnt/prog cap_net_raw=ep\nout/plain cap_net_raw=ep\n");
    EXPECT_EQ(run("/bin/sh", {"sh", "-c", "getcap '" + base + "/prog'"}).out,
              base + "/prog cap_net_raw=ep\n");

    // setcap of a shared program: refused, or only the copy gets the capability.
    r = run("/bin/sh", {"sh", "-c", "setcap cap_net_raw+ep '" + (m / "shared") + "'"});
    EXPECT_EQ(r.status, GetParam() ? 0 : 1) << r.err;
    EXPECT_EQ(run("/bin/sh", {"sh", "-c", "getcap '" + base + "/other'"}).out, "");
}

// POSIX ACLs (--xattr): a directory's default ACL reaches what is made in it whatever the
// umask, the umask applies where no default ACL decides, and chmod keeps the ACL's mask in
// step; in the libfuse 3 builds the kernel also checks access by them (libfuse 2 cannot hand
// it ACLs). The same script prints the same through the mount (allow_other, reading as
// nobody) as on a plain directory.
TEST(acls, as_on_the_base)
{
    if (system("command -v setfacl >/dev/null && command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: setfacl (acl) or setpriv is missing ***";
    temp_dir work;
    ASSERT_EQ(chmod(work.path.c_str(), 0755), 0);
    const std::string base = work / "base", plain = work / "plain";
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
    std::string script =
        "cd \"$1\" && mkdir acl && setfacl -m d:u:nobody:rwx,d:m::rwx acl && "
        "(umask 077 && touch acl/f && mkdir acl/d) && getfacl -c acl/f acl/d && "
        "(umask 027 && touch masked && mkdir maskeddir) && stat -c '%n %a' masked maskeddir && "
        "chmod 640 acl/f && getfacl -c acl/f";
    if (WARDFS_FUSE_MAJOR == 3)
        script += " && echo secret >secret && chmod 600 secret && setfacl -m u:nobody:r secret && "
                  "setpriv --reuid=65534 --regid=65534 --clear-groups cat secret && "
                  "setfacl -m u:nobody:- secret && "
                  "{ setpriv --reuid=65534 --regid=65534 --clear-groups cat secret 2>/dev/null || "
                  "echo refused; }";
    run_result native = run("/bin/sh", {"sh", "-c", script, "sh", plain});
    ASSERT_EQ(native.status, 0) << native.err;
    wardfs_mount m(base, work / "mnt", {"--xattr", "-oallow_other"});
    run_result through = run("/bin/sh", {"sh", "-c", script, "sh", m.mnt});
    EXPECT_EQ(through.status, 0) << through.err;
    EXPECT_EQ(through.out, native.out);
}

// A copy-up keeps the original's ACLs exactly, with or without --xattr: a file without one
// gets none from its directory's default ACL, and one with its own keeps that.
TEST(acls, copyup_keeps_the_originals)
{
    if (system("command -v setfacl >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: setfacl and getfacl (acl) are missing ***";
    for (const auto &options :
         {std::vector<std::string>{"--copyup"}, std::vector<std::string>{"--copyup", "--xattr"}}) {
        temp_dir work;
        const std::string base = work / "base", d = base + "/d";
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        for (const char *name : {"bare", "own"}) {
            write_file(d + "/" + name, "shared\n");
            ASSERT_EQ(chmod((d + "/" + name).c_str(), 0640), 0);
            ASSERT_EQ(link((d + "/" + name).c_str(), (base + "/" + name).c_str()), 0);
        }
        ASSERT_EQ(
            system(("setfacl -m u:4242:r '" + d + "/own' && setfacl -m d:u:nobody:rwx '" + d + "'")
                       .c_str()),
            0);
        const std::string acls = "getfacl -cp '" + d + "/bare' '" + d + "/own' 2>&1";
        const std::string before = run("/bin/sh", {"sh", "-c", acls}).out;
        wardfs_mount m(base, work / "mnt", options);
        for (const char *name : {"bare", "own"}) {
            int fd = open((m / "d/" + name).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            ASSERT_GE(fd, 0) << name;
            EXPECT_EQ(write(fd, "new\n", 4), 4);
            close(fd);
            EXPECT_EQ(lstat_of(d + "/" + name).st_nlink, 1u) << name << ": copied up";
            EXPECT_EQ(lstat_of(d + "/" + name).st_mode & 07777, 0640u) << name;
        }
        EXPECT_EQ(run("/bin/sh", {"sh", "-c", acls}).out, before) << options.back();
    }
}

// Without the option every attribute call fails with EOPNOTSUPP, and the kernel learns it
// once: it stops asking for security.capability before each write (libfuse's -d log counts
// the requests).
TEST(xattrs_off, refused_once_for_all)
{
    temp_dir work;
    const std::string base = work / "base";
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    std::string log;
    {
        wardfs_mount m(base, work / "mnt", {"-d"});
        int fd = open((m / "f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 50; i++)
            ASSERT_EQ(write(fd, "0123456789", 10), 10);
        close(fd);
        char v[8];
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(errno_of(getxattr((m / "f").c_str(), "user.k", v, sizeof v)), EOPNOTSUPP);
            EXPECT_EQ(errno_of(setxattr((m / "f").c_str(), "user.k", "v", 1, 0)), EOPNOTSUPP);
            EXPECT_EQ(errno_of(listxattr((m / "f").c_str(), v, sizeof v)), EOPNOTSUPP);
            EXPECT_EQ(errno_of(removexattr((m / "f").c_str(), "user.k")), EOPNOTSUPP);
        }
        log = read_file(m.log);
    }
    size_t asked = 0;
    for (size_t at = log.find("GETXATTR"); at != std::string::npos;
         at = log.find("GETXATTR", at + 1))
        asked++;
    EXPECT_LE(asked, 1u) << "the kernel asked again after the first refusal";
}

INSTANTIATE_TEST_SUITE_P(wardfs, xattrs, testing::Bool(),
                         [](const auto &info) { return info.param ? "copyup" : "plain"; });

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
