// wardfs through real FUSE mounts: namespace operations pass through, shared files refuse
// changes or are copied up, and the data path moves bytes whole.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <set>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/utsname.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

struct mounted : mount_fixture<> {
    void SetUp() override
    {
        mount_fixture::SetUp();
        ASSERT_EQ(mkdir((base + "/dir").c_str(), 0755), 0);
        write_file(base + "/shared", "shared content");
        ASSERT_EQ(link((base + "/shared").c_str(), (base + "/dir/other").c_str()), 0);
        write_file(base + "/plain", "plain content");
        ASSERT_EQ(symlink("plain", (base + "/sym").c_str()), 0);
        ASSERT_EQ(link((base + "/sym").c_str(), (base + "/sym2").c_str()), 0);
    }
};

// errno of a call that returns -1 on failure, 0 when it succeeded.
int errno_of(int res)
{
    return res == -1 ? errno : 0;
}

int open_errno(const std::string &path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd == -1)
        return errno;
    int res = (flags & O_ACCMODE) != O_RDONLY ? errno_of(static_cast<int>(write(fd, "new", 3))) : 0;
    close(fd);
    return res;
}

TEST_F(mounted, namespace_operations_pass_through)
{
    wardfs_mount m(base, mnt);
    std::set<std::string> names;
    DIR *d = opendir(mnt.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d))
        names.insert(e->d_name);
    closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "dir", "plain", "shared", "sym", "sym2"}));

    struct stat st = lstat_of(m / "sym");
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "lstat reports the link itself";
    EXPECT_EQ(st.st_nlink, 2u);

    EXPECT_EQ(errno_of(mkdir((m / "new").c_str(), 0700)), 0);
    EXPECT_TRUE(S_ISDIR(lstat_of(base + "/new").st_mode));
    EXPECT_EQ(errno_of(symlink("../a/target", (m / "new/l").c_str())), 0);
    char target[32] = {};
    EXPECT_EQ(readlink((m / "new/l").c_str(), target, sizeof target), 11);
    EXPECT_STREQ(target, "../a/target");
    EXPECT_EQ(errno_of(rmdir((m / "new").c_str())), ENOTEMPTY);
    EXPECT_EQ(errno_of(unlink((m / "new/l").c_str())), 0);
    EXPECT_EQ(errno_of(rmdir((m / "new").c_str())), 0);
    EXPECT_FALSE(exists(base + "/new"));

    // Names of shared files may be renamed, linked and removed.
    EXPECT_EQ(errno_of(rename((m / "shared").c_str(), (m / "renamed").c_str())), 0);
    EXPECT_EQ(errno_of(link((m / "renamed").c_str(), (m / "third").c_str())), 0);
    EXPECT_EQ(lstat_of(base + "/dir/other").st_nlink, 3u);
    EXPECT_EQ(errno_of(unlink((m / "third").c_str())), 0);
    EXPECT_EQ(errno_of(unlink((m / "renamed").c_str())), 0);
    EXPECT_EQ(lstat_of(base + "/dir/other").st_nlink, 1u);
    EXPECT_EQ(read_file(base + "/dir/other"), "shared content");

    EXPECT_EQ(errno_of(mkfifo((m / "dir/fifo").c_str(), 0644)), EROFS);
    EXPECT_EQ(errno_of(mknod((m / "dir/sock").c_str(), S_IFSOCK | 0644, 0)), EROFS);
    EXPECT_EQ(errno_of(mkdir((m / "dir/sub").c_str(), 0755)), 0) << "same directory";
}

TEST_F(mounted, xattrs_statfs_and_times)
{
    wardfs_mount m(base, mnt);
    const std::string p = m / "plain";
    char v[8];
    EXPECT_EQ(errno_of(setxattr(p.c_str(), "user.k", "v", 1, 0)), EOPNOTSUPP);
    EXPECT_EQ(errno_of(static_cast<int>(getxattr(p.c_str(), "user.k", v, sizeof v))), EOPNOTSUPP);
    EXPECT_EQ(errno_of(static_cast<int>(listxattr(p.c_str(), v, sizeof v))), EOPNOTSUPP);
    EXPECT_EQ(errno_of(removexattr(p.c_str(), "user.k")), EOPNOTSUPP);

    struct statvfs through, direct;
    ASSERT_EQ(statvfs((m / "dir").c_str(), &through), 0);
    ASSERT_EQ(statvfs(base.c_str(), &direct), 0);
    EXPECT_EQ(through.f_bsize, direct.f_bsize);
    EXPECT_EQ(through.f_blocks, direct.f_blocks);
    EXPECT_EQ(through.f_files, direct.f_files);

    // Time stamps of shared files pass through: they change no content.
    const struct timespec times[2] = {{12345, 0}, {67890, 0}};
    EXPECT_EQ(errno_of(utimensat(AT_FDCWD, (m / "shared").c_str(), times, 0)), 0);
    struct stat st = lstat_of(base + "/dir/other");
    EXPECT_EQ(st.st_mtim.tv_sec, 67890);
    EXPECT_EQ(st.st_nlink, 2u);
}

// Each guarded change: (name, what it does, errno of the call).
struct guarded_case {
    const char *what;
    std::function<int(const std::string &)> change;
};

const std::vector<guarded_case> guarded_changes = {
    {"open O_WRONLY", [](const std::string &p) { return open_errno(p, O_WRONLY); }},
    {"open O_RDWR", [](const std::string &p) { return open_errno(p, O_RDWR); }},
    {"open O_WRONLY|O_TRUNC",
     [](const std::string &p) { return open_errno(p, O_WRONLY | O_TRUNC); }},
    {"open O_WRONLY|O_APPEND",
     [](const std::string &p) { return open_errno(p, O_WRONLY | O_APPEND); }},
    {"chmod", [](const std::string &p) { return errno_of(chmod(p.c_str(), 0600)); }},
    {"chown", [](const std::string &p) { return errno_of(chown(p.c_str(), 1, 1)); }},
    {"truncate", [](const std::string &p) { return errno_of(truncate(p.c_str(), 2)); }},
};

TEST_F(mounted, shared_files_refuse_changes)
{
    wardfs_mount m(base, mnt);
    for (const auto &c : guarded_changes) {
        struct stat before = lstat_of(base + "/shared");
        EXPECT_EQ(c.change(m / "shared"), EROFS) << c.what;
        struct stat after = lstat_of(base + "/shared");
        EXPECT_EQ(read_file(base + "/shared"), "shared content") << c.what;
        EXPECT_TRUE(after.st_mode == before.st_mode && after.st_uid == before.st_uid &&
                    after.st_size == before.st_size && after.st_nlink == 2u)
            << c.what;
        EXPECT_EQ(c.change(m / "plain"), 0) << c.what << " of an unshared file";
    }
    EXPECT_EQ(errno_of(lchown((m / "sym").c_str(), 1, 1)), EROFS);
    EXPECT_EQ(lstat_of(base + "/sym").st_uid, 0u);
    EXPECT_EQ(errno_of(lchown((m / "plain").c_str(), 2, 2)), 0);
    EXPECT_EQ(lstat_of(base + "/plain").st_uid, 2u);

    EXPECT_EQ(open_errno(m / "shared", O_WRONLY | O_CREAT | O_EXCL), EEXIST);
    EXPECT_EQ(open_errno(m / "created", O_WRONLY | O_CREAT | O_EXCL), 0);
    EXPECT_EQ(read_file(base + "/created"), "new");
    EXPECT_EQ(open_errno(m / "shared", O_RDONLY), 0);
}

TEST_F(mounted, copyup_reaches_only_its_name)
{
    wardfs_mount m(base, mnt, {"--copyup"});
    for (const auto &c : guarded_changes) {
        unlink((base + "/shared").c_str());
        ASSERT_EQ(link((base + "/dir/other").c_str(), (base + "/shared").c_str()), 0);
        ino_t other_ino = lstat_of(base + "/dir/other").st_ino;
        EXPECT_EQ(c.change(m / "shared"), 0) << c.what;
        struct stat own = lstat_of(base + "/shared"), other = lstat_of(base + "/dir/other");
        EXPECT_EQ(own.st_nlink, 1u) << c.what;
        EXPECT_NE(own.st_ino, other_ino) << c.what;
        EXPECT_EQ(other.st_ino, other_ino) << c.what;
        EXPECT_EQ(other.st_nlink, 1u) << c.what;
        EXPECT_EQ(other.st_mode & 07777, 0644u) << c.what;
        EXPECT_EQ(other.st_uid, 0u) << c.what;
        EXPECT_EQ(read_file(base + "/dir/other"), "shared content") << c.what;
    }
    EXPECT_EQ(read_file(base + "/shared"), "sh") << "the last change, truncate, on the copy";

    EXPECT_EQ(errno_of(lchown((m / "sym").c_str(), 1, 1)), 0);
    EXPECT_EQ(lstat_of(base + "/sym").st_uid, 1u);
    EXPECT_EQ(lstat_of(base + "/sym2").st_uid, 0u);
    EXPECT_EQ(lstat_of(base + "/sym2").st_nlink, 1u);
}

// A copy that does not fit fails with ENOSPC and the shared file stays whole.
TEST_F(mounted, copyup_without_space)
{
    std::string small = work / "small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m"), 0);
    std::string content(700 * 1024, 'y');
    write_file(small + "/f", content);
    ASSERT_EQ(link((small + "/f").c_str(), (small + "/g").c_str()), 0);
    {
        wardfs_mount m(small, mnt, {"--copyup"});
        EXPECT_EQ(open_errno(m / "f", O_WRONLY), ENOSPC);
    }
    EXPECT_EQ(read_file(small + "/f"), content);
    EXPECT_EQ(lstat_of(small + "/f").st_nlink, 2u);
    EXPECT_EQ(names_in(small).size(), 2u) << "no temporary left";
    EXPECT_EQ(umount2(small.c_str(), MNT_DETACH), 0);
}

TEST_F(mounted, data_beyond_4_gib_and_concurrent_ranges)
{
    wardfs_mount m(base, mnt);
    const off_t far = (5LL << 30) + 3;
    int fd = open((m / "big").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, "far away", 8, far), 8);
    char buf[9] = {};
    EXPECT_EQ(pread(fd, buf, 8, far), 8);
    EXPECT_STREQ(buf, "far away");
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, far + 8);
    EXPECT_EQ(fdatasync(fd), 0);
    EXPECT_EQ(fsync(fd), 0);
    close(fd);
    EXPECT_EQ(lstat_of(base + "/big").st_size, far + 8);

    // Several threads, each its own range of one open file, 8 MiB in all.
    const size_t chunk = 1 << 20;
    const int threads = 8;
    fd = open((m / "ranges").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([fd, t, chunk] {
            std::string data(chunk, static_cast<char>('a' + t));
            for (size_t done = 0; done < chunk; done += 64 * 1024)
                EXPECT_EQ(pwrite(fd, data.data() + done, 64 * 1024, t * chunk + done), 65536);
            std::string back(chunk, '\0');
            EXPECT_EQ(pread(fd, back.data(), chunk, t * chunk), static_cast<ssize_t>(chunk));
            EXPECT_EQ(back, data);
        });
    for (auto &w : workers)
        w.join();
    close(fd);
    std::string all = read_file(base + "/ranges");
    ASSERT_EQ(all.size(), chunk * threads);
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(all.find_first_not_of(static_cast<char>('a' + t), t * chunk),
                  t + 1 < threads ? (t + 1) * chunk : std::string::npos);
    EXPECT_EQ(read_file(m / "ranges"), all);
}

// rename flags and SEEK_DATA/SEEK_HOLE reach the base with the libfuse 3 build; libfuse 2
// has neither (a rename with flags that reaches it fails with EINVAL, and a file reads as
// data throughout).
TEST_F(mounted, rename_flags_and_holes)
{
    const bool v3 = WARDFS_FUSE_MAJOR == 3;
    write_file(base + "/a", "a");
    write_file(base + "/b", "b");
    {
        int fd = open((base + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(pwrite(fd, "x", 1, 0), 1);
        ASSERT_EQ(pwrite(fd, "y", 1, 1 << 20), 1);
        close(fd);
    }
    wardfs_mount m(base, mnt);
    auto rename2 = [&](const char *from, const char *to, unsigned flags) {
        return errno_of(renameat2(AT_FDCWD, (m / from).c_str(), AT_FDCWD, (m / to).c_str(), flags));
    };
    EXPECT_EQ(rename2("a", "b", RENAME_NOREPLACE), EEXIST) << "the kernel's own answer";
    EXPECT_EQ(rename2("a", "c", RENAME_NOREPLACE), v3 ? 0 : EINVAL);
    EXPECT_EQ(rename2(v3 ? "c" : "a", "b", RENAME_EXCHANGE), v3 ? 0 : EINVAL);
    EXPECT_EQ(read_file(base + "/b"), v3 ? "a" : "b");
    EXPECT_EQ(read_file(base + (v3 ? "/c" : "/a")), v3 ? "b" : "a");

    int fd = open((m / "sparse").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const off_t size = (1 << 20) + 1;
    int direct = open((base + "/sparse").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_LT(lseek(direct, 0, SEEK_HOLE), size) << "the base has a hole";
    EXPECT_EQ(lseek(fd, 0, SEEK_HOLE), v3 ? lseek(direct, 0, SEEK_HOLE) : size);
    EXPECT_EQ(lseek(fd, 8192, SEEK_DATA), v3 ? lseek(direct, 8192, SEEK_DATA) : 8192);
    close(direct);
    close(fd);
}

// Options written for libfuse 2 work with either build; one that neither knows is refused
// with libfuse's message and status 1.
TEST_F(mounted, libfuse_2_options_and_unknown_ones)
{
    {
        wardfs_mount m(base, mnt,
                       {"-obig_writes,nonempty,hard_remove,intr,direct_io",
                        "-osplice_read,no_splice_write,auto_cache,use_ino,readdir_ino"});
        EXPECT_EQ(read_file(m / "plain"), "plain content");
        EXPECT_EQ(lstat_of(m / "plain").st_ino, lstat_of(base + "/plain").st_ino);
    }
    run_result r = run(wardfs_bin(), {wardfs_bin(), base, mnt, "-f", "-ono_such_option"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown option"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no_such_option"), std::string::npos) << r.err;
    EXPECT_EQ(mountinfo_line(mnt), "");
}

// The writeback cache (libfuse 3 only): the kernel gathers small writes, and every open is
// still guarded. Write-only and appending opens still land where the caller put them.
TEST_F(mounted, writeback_cache_keeps_the_guard)
{
    if (WARDFS_FUSE_MAJOR != 3)
        GTEST_SKIP() << "*** SKIP: the writeback cache needs the libfuse 3 build ***";
    std::string blocks;
    for (int i = 0; i < 100; i++)
        blocks += "0123";
    for (const bool copyup : {false, true}) {
        SCOPED_TRACE(copyup ? "--copyup" : "plain");
        write_file(base + "/plain", "plain content");
        std::vector<std::string> options = {"-owriteback_cache"};
        if (copyup)
            options.push_back("--copyup");
        wardfs_mount m(base, mnt, options);
        EXPECT_EQ(open_errno(m / "shared", O_WRONLY), copyup ? 0 : EROFS);
        EXPECT_EQ(read_file(base + "/dir/other"), "shared content");
        EXPECT_EQ(lstat_of(base + "/dir/other").st_nlink, copyup ? 1u : 2u);
        EXPECT_EQ(open_errno(m / "plain", O_WRONLY | O_APPEND), 0);
        EXPECT_EQ(open_errno(m / "plain", O_WRONLY | O_APPEND), 0);
        EXPECT_EQ(read_file(base + "/plain"), "plain contentnewnew");
        int fd = open((m / "plain").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 100; i++)
            ASSERT_EQ(pwrite(fd, "0123", 4, 4 * i), 4);
        close(fd);
        EXPECT_EQ(read_file(base + "/plain"), blocks);
        unlink((base + "/shared").c_str());
        ASSERT_EQ(link((base + "/dir/other").c_str(), (base + "/shared").c_str()), 0);
    }
}

// The kernel's page cache serves repeated reads, yet a file rewritten in the base beside
// the mount is read anew, whether its size changed or not: at an open once the cached
// attributes are older than the attribute timeout (1 s), never later.
TEST_F(mounted, changes_beside_the_mount_are_seen)
{
    wardfs_mount m(base, mnt);
    for (const char *content : {"first", "other", "longer content"}) {
        EXPECT_EQ(read_file(m / "plain"), read_file(m / "plain")) << "cached";
        write_file(base + "/plain", content);
        const auto written = std::chrono::steady_clock::now();
        while (read_file(m / "plain") != content &&
               std::chrono::steady_clock::now() - written < std::chrono::seconds(3))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(read_file(m / "plain"), content);
        EXPECT_LT(std::chrono::steady_clock::now() - written, std::chrono::milliseconds(2500));
    }
}

// The default options reach the kernel: the largest write the daemon sees (libfuse's -d
// output) is what the libfuse line allows (128 KiB for libfuse 2, 1 MiB for libfuse 3), not
// a page, and the user's own -o comes later and wins. Passthrough is off here, so that the
// writes reach the daemon; libfuse 3.18's -d prints the INIT reply's flags before it sets
// them, so the writes themselves are the evidence.
TEST_F(mounted, default_options_and_user_override)
{
    const struct {
        std::vector<std::string> args;
        const char *max_write;
        size_t largest_write;
    } cases[] = {{{"-d", "-ono_passthrough"},
                  WARDFS_FUSE_MAJOR == 3 ? "   max_write=0x00100000" : "   max_write=0x00020000",
                  WARDFS_FUSE_MAJOR == 3 ? 1u << 20 : 128u << 10},
                 {{"-d", "-ono_passthrough", "-omax_write=4096"}, "   max_write=0x00001000", 4096}};
    for (const auto &c : cases) {
        std::string log;
        {
            wardfs_mount m(base, mnt, c.args);
            write_file(m / "written", std::string(2u << 20, 'w'));
            log = read_file(m.log);
        }
        size_t largest = 0;
        for (size_t at = log.find("write["); at != std::string::npos;
             at = log.find("write[", at + 1))
            if (size_t bytes = log.find("] ", at); bytes != std::string::npos)
                largest = std::max<size_t>(largest, strtoul(log.c_str() + bytes + 2, nullptr, 10));
        EXPECT_EQ(largest, c.largest_write) << log.substr(0, 600);
        EXPECT_NE(log.find(c.max_write), std::string::npos) << log.substr(0, 600);
        EXPECT_EQ(log.find("nvalid"), std::string::npos) << "libfuse complained at start";
        EXPECT_EQ(log.find("internal function"), std::string::npos)
            << "libfuse complained at start";
    }
}

// With allow_other another user must not gain the daemon's rights: the kernel checks each
// access against the base's modes because wardfs adds default_permissions.
TEST_F(mounted, allow_other_checks_permissions)
{
    write_file(base + "/secret", "root only");
    ASSERT_EQ(chmod((base + "/secret").c_str(), 0600), 0);
    wardfs_mount m(base, mnt, {"-oallow_other"});
    EXPECT_NE(mountinfo_line(mnt).find("default_permissions"), std::string::npos);
    auto as_nobody = [] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(126);
    };
    const struct {
        std::vector<std::string> argv;
        int status;
    } cases[] = {
        {{"cat", m / "plain"}, 0},     // the mount serves other users
        {{"cat", m / "secret"}, 1},    // a 0600 root file stays closed
        {{"touch", m / "dir/new"}, 1}, // a root-owned 0755 directory stays closed
        {{"mkdir", m / "dir/new2"}, 1},
    };
    for (const auto &c : cases) {
        run_result r = run("/usr/bin/" + c.argv[0], c.argv, as_nobody);
        EXPECT_EQ(r.status, c.status) << c.argv[0] << " " << c.argv[1] << ": " << r.err;
    }
    EXPECT_FALSE(exists(base + "/dir/new"));
    EXPECT_FALSE(exists(base + "/dir/new2"));
    EXPECT_EQ(read_file(m / "secret"), "root only") << "the owner still gets in";
}

// A caller changes its own open file through the descriptor it opened, whatever the file's
// mode says since: a file created with mode 0 and O_RDWR is truncated and written through
// that descriptor, while truncate by name is refused, through the mount as on the base.
TEST_F(mounted, own_descriptor_of_a_mode_0_file)
{
    ASSERT_EQ(mkdir((base + "/tmp").c_str(), 01777), 0);
    ASSERT_EQ(chmod((base + "/tmp").c_str(), 01777), 0);
    wardfs_mount m(base, mnt, {"-oallow_other"});
    // Each step's errno, in one string, as nobody.
    auto steps = [](const std::string &f) {
        run_result r = run("/bin/true", {}, [&] {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(126);
            int fd = open(f.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0);
            std::string out = std::to_string(fd < 0 ? errno : 0);
            out += " " + std::to_string(errno_of(ftruncate(fd, 5)));
            out += " " + std::to_string(errno_of(pwrite(fd, "ab", 2, 0) == 2 ? 0 : -1));
            out += " " + std::to_string(errno_of(truncate(f.c_str(), 1)));
            out += " " + std::to_string(errno_of(fchmod(fd, 0600)));
            (void)!write(1, out.data(), out.size());
            _exit(0);
        });
        return r.out;
    };
    const std::string on_base = steps(base + "/tmp/direct");
    EXPECT_EQ(on_base, "0 0 0 " + std::to_string(EACCES) + " 0");
    EXPECT_EQ(steps(m / "tmp/through"), on_base);
    EXPECT_EQ(read_file(base + "/tmp/through"), std::string("ab\0\0\0", 5));
}

// Whether every extent of the file at `path` is shared with another file.
bool all_extents_shared(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buf(sizeof(struct fiemap) + 256 * sizeof(struct fiemap_extent));
    auto *fm = reinterpret_cast<struct fiemap *>(buf.data());
    fm->fm_length = FIEMAP_MAX_OFFSET;
    fm->fm_flags = FIEMAP_FLAG_SYNC;
    fm->fm_extent_count = 256;
    bool shared = ioctl(fd, FS_IOC_FIEMAP, fm) == 0 && fm->fm_mapped_extents > 0;
    for (unsigned i = 0; shared && i < fm->fm_mapped_extents; i++)
        shared = fm->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED;
    close(fd);
    return shared;
}

// On a file system with reflinks the copy-up clones: the private copy shares every extent.
// An XFS file system in a sparse image file, loop-mounted for one test and unmounted by the
// destructor, also when the test fails.
struct xfs_image {
    std::string image, dir;
    bool mounted = false;
    xfs_image(const temp_dir &work, const std::string &size, const std::string &mkfs_options)
        : image(work / "xfs.img"), dir(work / "xfs")
    {
        const std::string make = "truncate -s " + size + " " + image + " && mkfs.xfs -q -K " +
                                 mkfs_options + " " + image;
        if (mkdir(dir.c_str(), 0755) != 0 || system(make.c_str()) != 0 ||
            system(("mount -o loop " + image + " " + dir).c_str()) != 0)
            return;
        mounted = true;
    }
    ~xfs_image()
    {
        if (mounted) {
            EXPECT_EQ(umount2(dir.c_str(), MNT_DETACH), 0);
        }
    }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

bool have_mkfs_xfs()
{
    return system("command -v mkfs.xfs >/dev/null") == 0;
}
const char *const no_mkfs_xfs = "*** SKIP: mkfs.xfs is missing (xfsprogs) ***";

TEST_F(mounted, copyup_clones_on_xfs)
{
    if (!have_mkfs_xfs())
        GTEST_SKIP() << no_mkfs_xfs;
    xfs_image xfs(work, "2G", "-m reflink=1");
    ASSERT_TRUE(xfs.mounted);
    {
        const size_t mib = 1 << 20;
        std::string block(mib, '\0');
        int fd = open((xfs / "f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        for (size_t i = 0; i < 1024; i++) {
            block[0] = static_cast<char>(i);
            ASSERT_EQ(write(fd, block.data(), mib), static_cast<ssize_t>(mib));
        }
        close(fd);
        ASSERT_EQ(link((xfs / "f").c_str(), (xfs / "g").c_str()), 0);
        wardfs_mount m(xfs.dir, mnt, {"--copyup"});
        EXPECT_EQ(open_errno(m / "f", O_WRONLY | O_APPEND), 0);
    }
    EXPECT_EQ(lstat_of(xfs / "f").st_nlink, 1u);
    EXPECT_EQ(lstat_of(xfs / "f").st_size, (1LL << 30) + 3);
    EXPECT_TRUE(all_extents_shared(xfs / "g")) << "the copy is a clone";
}

// Between two files open on the mount, copy_file_range reaches the base with the libfuse 3
// build, which clones on a reflink file system; libfuse 2 has no such request (the kernel
// copies through reads and writes).
TEST_F(mounted, copy_file_range_clones_with_libfuse_3)
{
    if (!have_mkfs_xfs())
        GTEST_SKIP() << no_mkfs_xfs;
    xfs_image xfs(work, "1G", "-m reflink=1");
    ASSERT_TRUE(xfs.mounted);
    write_file(xfs / "src", std::string(4 << 20, 's'));
    wardfs_mount m(xfs.dir, mnt);
    int in = open((m / "src").c_str(), O_RDONLY | O_CLOEXEC);
    int out = open((m / "dst").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    EXPECT_EQ(copy_file_range(in, nullptr, out, nullptr, 4 << 20, 0), 4 << 20);
    close(in);
    close(out);
    EXPECT_EQ(read_file(xfs / "dst"), read_file(xfs / "src"));
    EXPECT_EQ(all_extents_shared(xfs / "dst"), WARDFS_FUSE_MAJOR == 3);
}

// Offsets and sizes past 4 GiB pass whole through copy-up too, also from a 32-bit daemon: a
// sparse shared file of 5 GiB is copied up (holes stay holes), written and read beyond
// 4 GiB, grown and measured through the mount.
TEST_F(mounted, copyup_and_sizes_beyond_4_gib)
{
    const off_t gib = off_t{1} << 30, size = 5 * gib + 7, at = 4 * gib + 3 * 4096 + 5;
    {
        int fd = open((base + "/big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "tail", 4, size - 4), 4);
        close(fd);
    }
    ASSERT_EQ(link((base + "/big").c_str(), (base + "/big2").c_str()), 0);
    wardfs_mount m(base, mnt, {"--copyup"});
    int fd = open((m / "big").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string data = "beyond four GiB";
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
    char back[32] = {};
    EXPECT_EQ(pread(fd, back, data.size(), at), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(std::string(back, data.size()), data);
    EXPECT_EQ(pread(fd, back, 8, size - 4), 4);
    EXPECT_EQ(std::string(back, 4), "tail");
    struct stat st = {};
    EXPECT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), size);
    close(fd);
    EXPECT_EQ(truncate((m / "big").c_str(), 6 * gib + 1), 0);
    EXPECT_EQ(lstat_of(m / "big").st_size, 6 * gib + 1);
    EXPECT_EQ(lstat_of(base + "/big").st_nlink, 1u);
    EXPECT_EQ(lstat_of(m / "big2").st_size, size) << "the other name is untouched";
    EXPECT_LT(lstat_of(base + "/big").st_blocks, 1024) << "the copy kept the holes";
    fd = open((base + "/big2").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(pread(fd, back, data.size(), at), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(std::string(back, data.size()), std::string(data.size(), '\0'));
    close(fd);
}

// Inode numbers past 2^32 reach the kernel whole (with use_ino, which shows the base's
// numbers): XFS on a 3 TiB sparse image in four allocation groups numbers the inodes of
// the third group and later past 32 bits, and spreads new directories over the groups.
TEST_F(mounted, inode_numbers_beyond_32_bits)
{
    if (!have_mkfs_xfs())
        GTEST_SKIP() << no_mkfs_xfs;
    xfs_image xfs(work, "3T", "-d agcount=4 -l size=64m");
    ASSERT_TRUE(xfs.mounted);
    std::string dir;
    for (int i = 0; i < 16 && dir.empty(); i++) {
        const std::string name = "d" + std::to_string(i);
        ASSERT_EQ(mkdir((xfs / name).c_str(), 0755), 0);
        if (lstat_of(xfs / name).st_ino > UINT32_MAX)
            dir = name;
    }
    ASSERT_FALSE(dir.empty()) << "no directory got an inode number past 32 bits";
    write_file(xfs / (dir + "/f"), "f");
    const ino_t ino = lstat_of(xfs / (dir + "/f")).st_ino;
    ASSERT_GT(ino, UINT32_MAX);
    wardfs_mount m(xfs.dir, mnt, {"-ouse_ino,readdir_ino"});
    EXPECT_EQ(lstat_of(m / (dir + "/f")).st_ino, ino);
    EXPECT_EQ(lstat_of(m / dir).st_ino, lstat_of(xfs / dir).st_ino);
    DIR *d = opendir((m / dir).c_str());
    ASSERT_NE(d, nullptr);
    ino_t listed = 0;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, "f") == 0)
            listed = e->d_ino;
    closedir(d);
    EXPECT_EQ(listed, ino);
}

// What the run asked for in WARDFS_TEST_OPTIONS (no_passthrough, io_uring).
bool run_option(const char *option)
{
    const char *options = getenv("WARDFS_TEST_OPTIONS");
    return options != nullptr && strstr(options, option) != nullptr;
}

// Whether the build's libfuse is 3.`fuse_minor` or later and the kernel `kernel_major`.
// `kernel_minor` or later.
bool libfuse_and_kernel_at_least(unsigned fuse_minor, unsigned kernel_major, unsigned kernel_minor)
{
    unsigned major = 0, minor = 0, kmajor = 0, kminor = 0;
    struct utsname u;
    if (WARDFS_FUSE_MAJOR != 3 || sscanf(WARDFS_LIBFUSE_VERSION, "%u.%u", &major, &minor) != 2 ||
        uname(&u) != 0 || sscanf(u.release, "%u.%u", &kmajor, &kminor) != 2)
        return false;
    return (major > 3 || minor >= fuse_minor) &&
           (kmajor > kernel_major || (kmajor == kernel_major && kminor >= kernel_minor));
}

// Kernel passthrough is on where the build's libfuse (3.17) and the kernel (6.9) have it.
bool passthrough_expected()
{
    return libfuse_and_kernel_at_least(17, 6, 9) && !run_option("no_passthrough");
}

// -d says which mode the mount runs in, and with passthrough on neither reads nor writes of a
// decided open reach the daemon; writeback_cache, which the kernel does not combine with
// passthrough, turns it off. A run over io_uring starts libfuse's rings.
TEST_F(mounted, kernel_passthrough_mode)
{
    if (WARDFS_FUSE_MAJOR != 3)
        GTEST_SKIP() << "*** SKIP: passthrough needs the libfuse 3 build ***";
    const struct {
        std::vector<std::string> args;
        bool on;
        const char *said;
    } cases[] = {
        {{"-d"}, passthrough_expected(), nullptr},
        {{"-d", "-ono_passthrough"}, false, "wardfs: kernel passthrough off: -o no_passthrough"},
        {{"-d", "-owriteback_cache"}, false, nullptr},
        {{"-f"}, false, nullptr}, // without -d nothing is said
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        std::string log;
        {
            wardfs_mount m(base, mnt, c.args);
            write_file(m / "data", std::string(1u << 20, 'd'));
            EXPECT_EQ(read_file(m / "data").size(), 1u << 20);
            log = read_file(m.log);
        }
        const bool said_on = log.find("wardfs: kernel passthrough on\n") != std::string::npos;
        EXPECT_EQ(said_on, c.on) << log.substr(0, 1500);
        if (c.said != nullptr && passthrough_expected()) {
            EXPECT_NE(log.find(c.said), std::string::npos) << log.substr(0, 1500);
            EXPECT_NE(log.find("   write["), std::string::npos) << log.substr(0, 1500);
        }
        if (c.on) {
            EXPECT_EQ(log.find("   write["), std::string::npos) << log.substr(0, 1500);
        }
        if (c.args.front() != "-d") {
            EXPECT_EQ(log.find("wardfs: kernel passthrough"), std::string::npos) << log;
            continue;
        }
        if (run_option("io_uring")) {
            EXPECT_NE(log.find("io-uring"), std::string::npos) << log.substr(0, 1500);
        }
    }
}

// With --copyup, a write-open of a shared name that another process holds open gives the
// name a private copy: the writer's data (by write and by a shared mapping) reaches only the
// copy, the other names keep their content, neither process gets an error, and (with
// passthrough) a new open reads the copy. A later open of a name that moved keeps working.
TEST_F(mounted, copyup_while_the_shared_name_is_open)
{
    const std::string written(8192, 'w');
    for (const bool mapped : {false, true}) {
        SCOPED_TRACE(mapped ? "written through a shared mapping" : "written with write");
        unlink((base + "/shared").c_str());
        ASSERT_EQ(link((base + "/dir/other").c_str(), (base + "/shared").c_str()), 0);
        wardfs_mount m(base, mnt, {"--copyup"});
        int reader = open((m / "shared").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(reader, 0) << strerror(errno);
        char buf[64] = {};
        ASSERT_EQ(pread(reader, buf, sizeof buf, 0), 14);

        int writer = open((m / "shared").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(writer, 0) << strerror(errno);
        if (mapped) {
            ASSERT_EQ(ftruncate(writer, static_cast<off_t>(written.size())), 0) << strerror(errno);
            void *map =
                mmap(nullptr, written.size(), PROT_READ | PROT_WRITE, MAP_SHARED, writer, 0);
            ASSERT_NE(map, MAP_FAILED) << strerror(errno);
            memcpy(map, written.data(), written.size());
            EXPECT_EQ(msync(map, written.size(), MS_SYNC), 0) << strerror(errno);
            munmap(map, written.size());
        } else {
            ASSERT_EQ(pwrite(writer, written.data(), written.size(), 0),
                      static_cast<ssize_t>(written.size()))
                << strerror(errno);
        }
        EXPECT_EQ(close(writer), 0);
        EXPECT_GE(pread(reader, buf, sizeof buf, 0), 14) << strerror(errno);
        EXPECT_EQ(read_file(base + "/dir/other"), "shared content");
        EXPECT_EQ(read_file(base + "/shared").size(), written.size());
        EXPECT_EQ(lstat_of(base + "/dir/other").st_nlink, 1u);
        // Without passthrough the kernel keeps one page cache and size for the name, and
        // the reader's short reads of the old file set that size: only passthrough keeps the
        // two apart.
        if (passthrough_expected()) {
            EXPECT_EQ(read_file(m / "shared").size(), written.size());
        }

        ASSERT_EQ(rename((m / "shared").c_str(), (m / "moved").c_str()), 0);
        if (passthrough_expected()) {
            EXPECT_EQ(read_file(m / "moved").size(), written.size());
        }
        write_file(m / "shared", "new");
        EXPECT_EQ(read_file(m / "shared"), "new");
        close(reader);
    }
}

// A write through a shared mapping shows in the modification time once the file is closed,
// well within the attribute timeout: with passthrough the kernel does not see the base file
// change, and is told to forget the name's attributes when the open ends.
TEST_F(mounted, mapped_write_changes_mtime)
{
    if (system("command -v xfs_io >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: xfs_io (xfsprogs) is missing ***";
    wardfs_mount m(base, mnt);
    // Written and stated, then (past the attribute timeout) mapped, read and written by
    // another process; the stat right after must see a new modification time.
    const std::string script =
        "xfs_io -f -c 'pwrite 0 4k' -c fsync \"$1\" >/dev/null && before=$(stat -c %Y \"$1\") && "
        "sleep 1.1 && xfs_io -c 'mmap 0 4k' -c 'mread 0 4k' -c 'mwrite 0 4k' \"$1\" >/dev/null && "
        "after=$(stat -c %Y \"$1\") && [ \"$before\" != \"$after\" ] && echo changed";
    run_result r = run("/bin/sh", {"sh", "-c", script, "sh", m / "mapped"});
    EXPECT_EQ(r.out, "changed\n") << r.err;
}

// An unprivileged caller's fallocate drops set-user-ID and set-group-ID bits (the base
// drops them, as it would for that caller), and stat through the mount shows it: at once
// with libfuse 3, within the attribute timeout with libfuse 2, which cannot tell the kernel.
TEST_F(mounted, fallocate_by_another_user_drops_set_id_bits)
{
    if (system("command -v xfs_io >/dev/null && command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "*** SKIP: xfs_io (xfsprogs) or setpriv is missing ***";
    wardfs_mount m(base, mnt, {"-oallow_other"});
    // Allocated blocks, so fallocate changes no size; stat before and after, as the kernel
    // keeps attributes between them.
    const std::string script =
        "f=\"$1\"; for mode in 6666 2666 6676 6766; do rm -f \"$f\" && "
        "xfs_io -f -c 'pwrite 0 192k' \"$f\" >/dev/null && chmod $mode \"$f\" && "
        "stat -c %a \"$f\" >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups "
        "xfs_io -c 'falloc 64k 64k' \"$f\" && sleep \"$2\" && stat -c %a \"$f\"; done";
    // libfuse 2 cannot tell the kernel to forget a mode: there it shows within the timeout.
    const char *delay = WARDFS_FUSE_MAJOR == 2 ? "1.1" : "0";
    run_result r = run("/bin/sh", {"sh", "-c", script, "sh", m / "setid", delay});
    EXPECT_EQ(r.out, "666\n666\n676\n766\n") << r.err;
}

// Names follow renames, exchanges and removals while their files are open: every later open
// of either name reads what the name holds.
TEST_F(mounted, open_names_follow_renames)
{
    const struct {
        const char *what;
        std::function<int(const std::string &, const std::string &)> change;
        const char *a_after, *b_after;
    } cases[] = {
        {"rename", [](auto &a, auto &b) { return rename(a.c_str(), b.c_str()); }, nullptr, "A"},
        {"exchange",
         [](auto &a, auto &b) {
             return static_cast<int>(
                 syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
         },
         "B", "A"},
        {"unlink", [](auto &a, auto &) { return unlink(a.c_str()); }, nullptr, "B"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (WARDFS_FUSE_MAJOR == 2 && strcmp(c.what, "exchange") == 0)
            continue; // libfuse 2 has no renameat2 flags
        write_file(base + "/a", "A");
        write_file(base + "/b", "B");
        wardfs_mount m(base, mnt);
        int fa = open((m / "a").c_str(), O_RDONLY | O_CLOEXEC);
        int fb = open((m / "b").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fa, 0);
        ASSERT_GE(fb, 0);
        ASSERT_EQ(c.change(m / "a", m / "b"), 0) << strerror(errno);
        if (c.a_after != nullptr)
            EXPECT_EQ(read_file(m / "a"), c.a_after);
        else {
            write_file(m / "a", "new a");
            EXPECT_EQ(read_file(m / "a"), "new a");
        }
        EXPECT_EQ(read_file(m / "b"), c.b_after);
        close(fa);
        close(fb);
        EXPECT_EQ(read_file(m / "b"), c.b_after);
    }
}

// A name removed while a process holds it open is gone from the base at once, as on a plain
// directory: no hidden name is left, its directory can be removed, its other names are
// private again, and the open file is still read and written through its descriptor, past
// the attribute timeout too. The same for a name a rename replaces.
TEST_F(mounted, removed_names_while_open)
{
    for (const auto &options : {std::vector<std::string>{}, std::vector<std::string>{"--copyup"},
                                std::vector<std::string>{"--copyup", "--xattr"}}) {
        SCOPED_TRACE(options.empty() ? "plain" : options.back());
        const std::string tree = base + "/tree";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        write_file(tree + "/held", "held\n");
        ASSERT_EQ(link((tree + "/held").c_str(), (base + "/kept").c_str()), 0);
        write_file(tree + "/replaced", "old\n");
        wardfs_mount m(base, mnt, options);
        int held = open((m / "tree/held").c_str(), O_RDONLY | O_CLOEXEC);
        int replaced = open((m / "tree/replaced").c_str(), O_RDONLY | O_CLOEXEC);
        int scratch = open((m / "tree/scratch").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(held, 0);
        ASSERT_GE(replaced, 0);
        ASSERT_GE(scratch, 0);

        ASSERT_EQ(unlink((m / "tree/held").c_str()), 0);
        ASSERT_EQ(unlink((m / "tree/scratch").c_str()), 0);
        write_file(m / "tree/new", "new\n");
        ASSERT_EQ(rename((m / "tree/new").c_str(), (m / "tree/replaced").c_str()), 0);
        EXPECT_EQ(names_in(tree), std::vector<std::string>{"replaced"});
        EXPECT_EQ(names_in(m / "tree"), std::vector<std::string>{"replaced"});

        // The last other name is private: appended to in place, seen through the open file.
        int fd = open((m / "kept").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(write(fd, "more\n", 5), 5);
        close(fd);
        EXPECT_EQ(lstat_of(m / "kept").st_nlink, 1u);
        EXPECT_EQ(lstat_of(base + "/kept").st_nlink, 1u);
        char buf[32] = {};
        EXPECT_EQ(pread(replaced, buf, sizeof buf, 0), 4);
        ASSERT_EQ(unlink((m / "kept").c_str()), 0);

        // Past the attribute timeout the kernel asks for the open files' attributes again
        // (each name has an inode of its own there, so the held file's size is its own until
        // then), with no name.
        usleep(1100 * 1000);
        EXPECT_EQ(lseek(held, 0, SEEK_END), 10) << strerror(errno);
        EXPECT_EQ(pread(held, buf, sizeof buf, 0), 10);
        EXPECT_STREQ(buf, "held\nmore\n");
        EXPECT_EQ(pwrite(scratch, "scratch", 7, 0), 7) << strerror(errno);
        EXPECT_EQ(ftruncate(scratch, 3), 0) << strerror(errno);
        EXPECT_EQ(fsync(scratch), 0) << strerror(errno);
        EXPECT_EQ(lseek(scratch, 0, SEEK_END), 3) << strerror(errno);
        EXPECT_EQ(pread(scratch, buf, sizeof buf, 0), 3);

        ASSERT_EQ(unlink((m / "tree/replaced").c_str()), 0);
        EXPECT_EQ(rmdir((m / "tree").c_str()), 0) << strerror(errno);
        EXPECT_FALSE(exists(tree));
        for (int open_fd : {held, replaced, scratch})
            close(open_fd);
        rmdir(tree.c_str());
    }
}

// A directory removed while it is a process's working directory: what is made in it fails
// with ENOENT, as on the base, in both builds (never ESTALE). The child's exit status is the
// errno of the first call that differs, 0 when each failed as expected.
TEST_F(mounted, removed_working_directory)
{
    const struct {
        const char *what;
        std::function<int()> make;
    } calls[] = {
        {"create", [] { return open("x", O_WRONLY | O_CREAT | O_CLOEXEC, 0644); }},
        {"mkdir", [] { return mkdir("d", 0755); }},
        {"symlink", [] { return symlink("t", "l"); }},
        {"mknod fifo", [] { return mkfifo("p", 0644); }},
    };
    for (const auto &options : {std::vector<std::string>{}, {"--copyup", "--xattr"}}) {
        wardfs_mount m(base, mnt, options);
        ASSERT_EQ(mkdir((m / "gone").c_str(), 0755), 0);
        for (const auto &c : calls) {
            SCOPED_TRACE(c.what);
            ASSERT_EQ(mkdir((m / "gone").c_str(), 0755) == 0 || errno == EEXIST, true);
            EXPECT_EQ(as_user(0,
                              [&] {
                                  if (chdir((m / "gone").c_str()) != 0 ||
                                      rmdir((m / "gone").c_str()) != 0)
                                      return 100;
                                  return c.make() == -1 ? (errno == ENOENT ? 0 : errno) : 101;
                              }),
                      0);
        }
    }
}

// Inode flags (lsattr, chattr) through the mount: read on any file, set as the caller (the
// owner; CAP_LINUX_IMMUTABLE for root only) on private files and directories, and on a
// shared file refused, or set on the name's private copy with --copyup.
int inode_flags(const std::string &path, unsigned long request, int *flags)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        return errno;
    int res = errno_of(ioctl(fd, request, flags));
    close(fd);
    return res;
}

TEST_F(mounted, inode_flags)
{
    int before = 0;
    if (inode_flags(base + "/plain", FS_IOC_GETFLAGS, &before) != 0)
        GTEST_SKIP() << "*** SKIP: the base's file system has no inode flags ***";
    // The kernel reads FS_IOC_FSGETXATTR before it sets flags, and qemu-user does not pass
    // that call of an emulated daemon on (the booted armhf guest runs this natively).
    if (emulated())
        GTEST_SKIP() << "*** SKIP: qemu-user does not pass FS_IOC_FSGETXATTR on ***";
    const struct {
        const char *name;
        bool copyup;
        int flag;
        int expected;
        bool as_nobody = false;
    } cases[] = {
        {"plain", false, FS_NOATIME_FL, 0},
        {"plain", false, FS_IMMUTABLE_FL, 0},
        {"dir", false, FS_NOATIME_FL, 0},
        {"shared", false, FS_NOATIME_FL, EROFS},
        {"shared", true, FS_NOATIME_FL, 0},
        {"plain", false, FS_NOATIME_FL, EPERM, true}, // another user's file
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.copyup ? " --copyup" : "") +
                     (c.as_nobody ? " as nobody" : ""));
        std::vector<std::string> options = {"-oallow_other"};
        if (c.copyup)
            options.push_back("--copyup");
        wardfs_mount m(base, mnt, options);
        int seen = 0, on_base = 0;
        ASSERT_EQ(inode_flags(m / c.name, FS_IOC_GETFLAGS, &seen), 0);
        ASSERT_EQ(inode_flags(base + "/" + c.name, FS_IOC_GETFLAGS, &on_base), 0);
        EXPECT_EQ(seen, on_base);
        int wanted = seen | c.flag;
        int res =
            c.as_nobody
                ? as_user(65534, [&] { return inode_flags(m / c.name, FS_IOC_SETFLAGS, &wanted); })
                : inode_flags(m / c.name, FS_IOC_SETFLAGS, &wanted);
        EXPECT_EQ(res, c.expected);
        ASSERT_EQ(inode_flags(base + "/" + c.name, FS_IOC_GETFLAGS, &on_base), 0);
        EXPECT_EQ(on_base & c.flag, c.expected == 0 ? c.flag : 0);
        int other = 0;
        ASSERT_EQ(inode_flags(base + "/dir/other", FS_IOC_GETFLAGS, &other), 0);
        EXPECT_EQ(other & c.flag, 0) << "the shared file's other name";
        // libfuse 3 tells the kernel to forget the name's attributes (libfuse 2 cannot).
        if (c.expected == 0 && WARDFS_FUSE_MAJOR == 3) {
            EXPECT_EQ(lstat_of(m / c.name).st_ctim.tv_nsec,
                      lstat_of(base + "/" + c.name).st_ctim.tv_nsec)
                << "the new ctime";
        }
        if (c.expected == 0) {
            EXPECT_EQ(inode_flags(m / c.name, FS_IOC_SETFLAGS, &seen), 0);
            ASSERT_EQ(inode_flags(base + "/" + c.name, FS_IOC_GETFLAGS, &on_base), 0);
            EXPECT_EQ(on_base & c.flag, 0);
        }
    }
}

// Linux 6.6 asks for the birth time with statx, which libfuse 3.18 hands on: stat -c %W
// through the mount shows the base's, by name and for an open file.
TEST_F(mounted, birth_time)
{
    if (!libfuse_and_kernel_at_least(18, 6, 6))
        GTEST_SKIP() << "*** SKIP: statx needs libfuse 3.18 and Linux 6.6 ***";
    struct statx on_base, seen;
    const auto birth = [](int dir, const std::string &name, struct statx &stx) {
        return statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0),
                     STATX_BASIC_STATS | STATX_BTIME, &stx) == 0 &&
               (stx.stx_mask & STATX_BTIME) != 0;
    };
    if (!birth(AT_FDCWD, base + "/plain", on_base))
        GTEST_SKIP() << "*** SKIP: the base's file system keeps no birth time ***";
    wardfs_mount m(base, mnt);
    for (const char *name : {"plain", "dir", "sym"}) {
        ASSERT_TRUE(birth(AT_FDCWD, base + "/" + name, on_base)) << name;
        ASSERT_TRUE(birth(AT_FDCWD, m / name, seen)) << name << ": " << strerror(errno);
        EXPECT_EQ(seen.stx_btime.tv_sec, on_base.stx_btime.tv_sec) << name;
        EXPECT_EQ(seen.stx_btime.tv_nsec, on_base.stx_btime.tv_nsec) << name;
        EXPECT_EQ(seen.stx_ino, on_base.stx_ino) << name;
    }
    int fd = open((m / "plain").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(birth(AT_FDCWD, base + "/plain", on_base));
    EXPECT_TRUE(birth(fd, "", seen));
    EXPECT_EQ(seen.stx_btime.tv_nsec, on_base.stx_btime.tv_nsec);
    close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
