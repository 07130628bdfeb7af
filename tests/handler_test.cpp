// wardfs handlers called directly against a temporary base directory, for what the kernel
// never sends: odd paths, tiny buffers, error codes, an O_RDONLY | O_TRUNC open.
#include "support.h"
#include "record_format.h"
#include "wardfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <map>
#include <unistd.h>

namespace {

struct handlers : testing::Test {
    temp_dir base;
    void SetUp() override
    {
        base_dir_fd = open(base.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(base_dir_fd, 0);
        copyup_enabled = 0;
        write_file(base / "shared", "shared content");
        ASSERT_EQ(link((base / "shared").c_str(), (base / "other").c_str()), 0);
        write_file(base / "plain", "plain content");
    }
    void TearDown() override
    {
        close(base_dir_fd);
        base_dir_fd = -1;
    }
};

TEST(to_relative_path, strips_leading_slashes)
{
    const struct {
        const char *path, *expected;
    } cases[] = {{"/", "."}, {"///", "."}, {"", "."}, {"/a", "a"}, {"//a/b/", "a/b/"}};
    for (const auto &c : cases)
        EXPECT_STREQ(to_relative_path(c.path), c.expected) << c.path;
    const char *path = "//x";
    EXPECT_EQ(to_relative_path(path), path + 2) << "the result is the same string";
}

TEST_F(handlers, readlink_cuts_to_buffer_and_refuses_size_zero)
{
    ASSERT_EQ(symlink("abcdefgh", (base / "link").c_str()), 0);
    char buf[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(op_readlink("/link", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(op_readlink("/link", buf, 1), -EINVAL) << "the system's answer for 0 bytes";
    EXPECT_EQ(op_readlink("/link", buf, 0), -EINVAL);
    EXPECT_EQ(op_readlink("/missing", buf, sizeof buf), -ENOENT);
}

TEST_F(handlers, readdir_reports_bare_type_and_inode)
{
    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("plain", (base / "sym").c_str()), 0);
    // Each entry with the base's offset of the entry after it (st_size carries it here).
    std::map<std::string, struct stat> seen;
    auto filler = [](void *buf, const char *name, const struct stat *st, off_t off) {
        struct stat &kept = (*static_cast<std::map<std::string, struct stat> *>(buf))[name];
        kept = *st;
        kept.st_size = off;
        return 0;
    };
    ASSERT_EQ(op_readdir("/", &seen, filler, 0, nullptr), 0);
    EXPECT_EQ(seen.size(), 7u); // . .. shared other plain dir sym

    // The expected type is what the base's own listing says, DT_UNKNOWN (0) included.
    DIR *d = opendir(base.path.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
        ASSERT_TRUE(seen.count(e->d_name)) << e->d_name;
        const struct stat &st = seen[e->d_name];
        EXPECT_EQ(st.st_ino, e->d_ino) << e->d_name;
        EXPECT_EQ(st.st_mode, static_cast<mode_t>(e->d_type) << 12) << e->d_name;
        EXPECT_EQ(st.st_size, e->d_off) << e->d_name;
        EXPECT_EQ(st.st_nlink, 0u);
    }
    closedir(d);
    EXPECT_EQ(seen["dir"].st_mode, S_IFDIR) << "no permission bits";
    EXPECT_EQ(seen["sym"].st_mode, S_IFLNK);

    int calls = 0;
    auto stop_at_once = [](void *buf, const char *, const struct stat *, off_t) {
        ++*static_cast<int *>(buf);
        return 1;
    };
    EXPECT_EQ(op_readdir("/", &calls, stop_at_once, 0, nullptr), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(op_readdir("/missing", &calls, stop_at_once, 0, nullptr), -ENOENT);
    EXPECT_EQ(op_readdir("/plain", &calls, stop_at_once, 0, nullptr), -ENOTDIR);
}

TEST(copy_up_error_to_errno, maps_gio_codes)
{
    const struct {
        int code, expected;
    } cases[] = {{1, ENOENT}, {3, EISDIR}, {12, ENOSPC}, {14, EPERM}, {0, EIO},
                 {2, EIO},    {13, EIO},   {15, EIO},    {-1, EIO},   {1 << 30, EIO}};
    for (const auto &c : cases)
        EXPECT_EQ(copy_up_error_to_errno(c.code), c.expected) << c.code;
}

TEST_F(handlers, guard_lookup)
{
    bool did_copyup = true;
    EXPECT_EQ(guard_write("missing", nullptr, &did_copyup), 0) << "a new name is not protected";
    EXPECT_FALSE(did_copyup);
    EXPECT_EQ(guard_write("plain/x", nullptr, nullptr), -ENOTDIR);
    EXPECT_EQ(guard_write("shared", nullptr, nullptr), -EROFS);
    EXPECT_EQ(guard_write(".", nullptr, nullptr), 0);

    copyup_enabled = 1;
    EXPECT_EQ(guard_write("shared", nullptr, &did_copyup), 0);
    EXPECT_TRUE(did_copyup);
    EXPECT_EQ(lstat_of(base / "shared").st_nlink, 1u);
    EXPECT_EQ(guard_write("shared", nullptr, &did_copyup), 0);
    EXPECT_FALSE(did_copyup) << "a single link needs no copy";
}

TEST_F(handlers, truncate_of_symlink_is_estale)
{
    ASSERT_EQ(symlink("plain", (base / "sym").c_str()), 0);
    EXPECT_EQ(op_truncate("/sym", 0), -ESTALE);
    EXPECT_EQ(read_file(base / "plain"), "plain content");
}

// The resolver, with openat2 and with the walk that stands in for it, reaches directories
// beneath the base only, and a symbolic link anywhere on the way is ESTALE.
TEST_F(handlers, resolver_never_follows_a_link)
{
    temp_dir outside;
    write_file(outside / "secret", "secret");
    ASSERT_EQ(mkdir((base / "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base / "d/e").c_str(), 0755), 0);
    write_file(base / "d/e/f", "f");
    ASSERT_EQ(symlink(outside.path.c_str(), (base / "out").c_str()), 0);
    ASSERT_EQ(symlink("d", (base / "in").c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), (base / "d/out").c_str()), 0);
    const struct {
        const char *path;
        int expected; // of resolve_entry, then of getattr
        int getattr;
    } cases[] = {
        {"/d/e/f", 0, 0},
        {"/f", 0, -ENOENT},
        {"/", 0, 0},
        {"/out/secret", -ESTALE, -ESTALE},
        {"/in/e/f", -ESTALE, -ESTALE},
        {"/d/out/secret", -ESTALE, -ESTALE},
        {"/out", 0, 0},
        {"/plain/x", -ENOTDIR, -ENOTDIR},
        {"/missing/x", -ENOENT, -ENOENT},
        {"/d/../../x", -EACCES, -EACCES},
    };
    for (bool walk : {false, true}) {
        openat2_missing = walk;
        for (const auto &c : cases) {
            base_entry entry;
            EXPECT_EQ(resolve_entry(c.path, entry), c.expected) << c.path << " walk " << walk;
            struct stat st;
            EXPECT_EQ(op_getattr(c.path, &st), c.getattr) << c.path << " walk " << walk;
        }
        // Changes through a link in place of a directory or a file reach nothing outside.
        struct fuse_file_info fi = {};
        fi.flags = O_RDONLY;
        EXPECT_EQ(op_unlink("/out/secret"), -ESTALE);
        EXPECT_EQ(op_open("/out/secret", &fi), -ESTALE);
        ASSERT_EQ(symlink((outside / "secret").c_str(), (base / "f").c_str()), 0);
        EXPECT_EQ(op_open("/f", &fi), -ESTALE);
        EXPECT_EQ(op_chmod("/f", 0666), -EOPNOTSUPP);
        EXPECT_EQ(op_truncate("/f", 0), -ESTALE);
        EXPECT_EQ(op_readdir("/out", nullptr, nullptr, 0, nullptr), -ESTALE);
        EXPECT_EQ(op_rename("/d/e/f", "/out/f"), -ESTALE);
        EXPECT_EQ(op_link("/d/e/f", "/out/f"), -ESTALE);
        EXPECT_EQ(unlink((base / "f").c_str()), 0);
        EXPECT_EQ(read_file(outside / "secret"), "secret");
        EXPECT_EQ(lstat_of(outside / "secret").st_mode & 07777, 0644u);
        EXPECT_EQ(names_in(outside.path), std::vector<std::string>{"secret"});
    }
    openat2_missing = false;
}

// The directory descriptor of a resolved entry closes with the entry (or when the entry is
// resolved again), so no descriptor outlives its request.
TEST_F(handlers, resolved_directories_close_with_their_entry)
{
    ASSERT_EQ(mkdir((base / "d").c_str(), 0755), 0);
    auto open_fds = [] { return names_in("/proc/self/fd").size(); };
    const size_t before = open_fds();
    {
        base_entry entry;
        for (const char *path : {"/d/x", "/d/y", "/d/z"}) {
            ASSERT_EQ(resolve_entry(path, entry), 0);
            EXPECT_NE(fcntl(entry.owned, F_GETFD), -1) << path << ": open while in use";
            EXPECT_EQ(open_fds(), before + 1) << path << ": the one before outlived its use";
        }
    }
    EXPECT_EQ(open_fds(), before) << "outlived its entry";
}

// Linux truncates on O_RDONLY | O_TRUNC, so that open is guarded like a write.
TEST_F(handlers, read_only_open_with_trunc_is_guarded)
{
    struct fuse_file_info fi = {};
    fi.flags = O_RDONLY | O_TRUNC;
    EXPECT_EQ(op_open("/shared", &fi), -EROFS);
    EXPECT_EQ(read_file(base / "other"), "shared content");

    ASSERT_EQ(op_open("/plain", &fi), 0);
    op_release("/plain", &fi);
    EXPECT_EQ(read_file(base / "plain"), "") << "an unshared file is truncated as asked";

    copyup_enabled = 1;
    ASSERT_EQ(op_open("/shared", &fi), 0);
    char c;
    EXPECT_EQ(op_read("/shared", &c, 1, 0, &fi), 0);
    op_release("/shared", &fi);
    EXPECT_EQ(read_file(base / "shared"), "");
    EXPECT_EQ(read_file(base / "other"), "shared content");
    EXPECT_EQ(lstat_of(base / "other").st_nlink, 1u);
}

// The record's quoting: C escapes, valid UTF-8 as it is, everything else in octal; every
// name reads back exactly, and malformed quoting is refused.
// libfuse hands an open file's requests no path once its name is gone, and a request by
// name none for a node whose name is gone: every handler answers with an errno, never a
// crash, and one with a file goes to its descriptor, a shared one refused.
TEST_F(handlers, null_paths)
{
    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    struct stat st;
    struct statx stx;
    char buf[16];
    const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    const struct {
        const char *what;
        std::function<int()> call;
    } by_name[] = {
        {"getattr", [&] { return op_getattr(nullptr, &st); }},
        {"getattr_file", [&] { return getattr_file(nullptr, &st, nullptr); }},
        {"statx", [&] { return op_statx(nullptr, 0, STATX_BTIME, &stx, nullptr); }},
        {"readlink", [&] { return op_readlink(nullptr, buf, sizeof buf); }},
        {"mkdir", [] { return op_mkdir(nullptr, 0755); }},
        {"unlink", [] { return op_unlink(nullptr); }},
        {"rmdir", [] { return op_rmdir(nullptr); }},
        {"symlink", [] { return op_symlink("plain", nullptr); }},
        {"rename from", [] { return op_rename(nullptr, "/x"); }},
        {"rename to", [] { return op_rename("/plain", nullptr); }},
        {"link", [] { return op_link("/plain", nullptr); }},
        {"chmod", [] { return op_chmod(nullptr, 0600); }},
        {"chown", [] { return op_chown(nullptr, 0, 0); }},
        {"truncate", [] { return op_truncate(nullptr, 0); }},
        {"chmod_file", [] { return chmod_file(nullptr, 0600, nullptr); }},
        {"chown_file", [] { return chown_file(nullptr, 0, 0, nullptr); }},
        {"truncate_file", [] { return truncate_file(nullptr, 0, nullptr); }},
        {"utimens", [&] { return op_utimens(nullptr, now); }},
        {"utimens_file", [&] { return utimens_file(nullptr, now, nullptr); }},
        {"access", [] { return op_access(nullptr, R_OK); }},
        {"getxattr", [&] { return op_getxattr(nullptr, "user.a", buf, sizeof buf); }},
        {"listxattr", [&] { return op_listxattr(nullptr, buf, sizeof buf); }},
        {"setxattr", [] { return op_setxattr(nullptr, "user.a", "v", 1, 0); }},
        {"removexattr", [] { return op_removexattr(nullptr, "user.a"); }},
        {"open",
         [] {
             struct fuse_file_info fi = {};
             fi.flags = O_RDONLY;
             return op_open(nullptr, &fi);
         }},
        {"create",
         [] {
             struct fuse_file_info fi = {};
             fi.flags = O_WRONLY | O_CREAT;
             return op_create(nullptr, 0644, &fi);
         }},
        {"opendir",
         [] {
             struct fuse_file_info fi = {};
             return op_opendir(nullptr, &fi);
         }},
        {"readdir",
         [] {
             return op_readdir(
                 nullptr, nullptr,
                 [](void *, const char *, const struct stat *, off_t) { return 0; }, 0, nullptr);
         }},
    };
    for (int xattrs : {0, 1}) {
        xattr_enabled = xattrs;
        for (const auto &c : by_name) {
            const int res = c.call();
            EXPECT_TRUE(res == -ENOENT || (!xattrs && res == -ENOSYS)) << c.what << ": " << res;
        }
    }
    xattr_enabled = 0;

    // With a file: the descriptor serves, a shared inode is never changed.
    for (const char *name : {"plain", "shared"}) {
        SCOPED_TRACE(name);
        const bool shared = strcmp(name, "shared") == 0;
        struct fuse_file_info fi = {};
        fi.fh = static_cast<uint64_t>(open((base / name).c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_GE(static_cast<int>(fi.fh), 0);
        EXPECT_EQ(getattr_file(nullptr, &st, &fi), 0);
        EXPECT_EQ(op_statx(nullptr, AT_EMPTY_PATH, STATX_BASIC_STATS, &stx, &fi), 0);
        EXPECT_EQ(stx.stx_ino, st.st_ino);
        EXPECT_EQ(op_read(nullptr, buf, 5, 0, &fi), 5);
        EXPECT_EQ(op_lseek(nullptr, 0, SEEK_DATA, &fi), 0);
        EXPECT_EQ(op_fsync(nullptr, 1, &fi), 0);
        EXPECT_EQ(utimens_file(nullptr, now, &fi), 0);
        EXPECT_EQ(truncate_file(nullptr, 5, &fi), shared ? -EROFS : 0);
        EXPECT_EQ(chmod_file(nullptr, 0600, &fi), shared ? -EROFS : 0);
        EXPECT_EQ(chown_file(nullptr, getuid(), getgid(), &fi), shared ? -EROFS : 0);
        EXPECT_EQ(lstat_of(base / name).st_size, shared ? 14 : 5);
        if (!shared) { // a write-open passed the guard
            EXPECT_EQ(op_write(nullptr, "w", 1, 0, &fi), 1);
            char w = 'b';
            struct fuse_bufvec src = FUSE_BUFVEC_INIT(1);
            src.buf[0].mem = &w;
            EXPECT_EQ(op_write_buf(nullptr, &src, 1, &fi), 1);
            EXPECT_EQ(op_fallocate(nullptr, 0, 0, 64, &fi), 0);
            EXPECT_EQ(op_copy_file_range(nullptr, &fi, 0, nullptr, &fi, 100, 2, 0), 2);
            EXPECT_EQ(read_file(base / name).substr(0, 2), "wb");
        }
        int flags = 0;
        EXPECT_NE(op_ioctl(nullptr, FS_IOC_GETFLAGS, nullptr, &fi, 0, &flags), -EFAULT);
        EXPECT_EQ(op_ioctl(nullptr, FS_IOC_GETVERSION, nullptr, &fi, 0, &flags), -ENOTTY);
        EXPECT_EQ(op_release(nullptr, &fi), 0);
    }
    struct fuse_file_info dir = {};
    ASSERT_EQ(op_opendir("/dir", &dir), 0);
    EXPECT_EQ(getattr_file(nullptr, &st, &dir), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(op_readdir(
                  nullptr, nullptr,
                  [](void *, const char *, const struct stat *, off_t) { return 0; }, 0, &dir),
              0);
    EXPECT_EQ(op_releasedir(nullptr, &dir), 0);
}

TEST(record_names, quote_and_read_back)
{
    const struct {
        std::string name, quoted;
    } cases[] = {
        {"plain/name", "\"plain/name\""},
        {"tab\tnew\nline", "\"tab\\tnew\\nline\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        {"bad\xff", "\"bad\\377\""},
        {"\xc3", "\"\\303\""},                   // a cut sequence
        {"\xc0\xaf", "\"\\300\\257\""},          // an overlong slash
        {"\xed\xa0\x80", "\"\\355\\240\\200\""}, // a surrogate
        {std::string("\0\x7f", 2), "\"\\000\\177\""},
    };
    for (const auto &c : cases) {
        std::string quoted;
        quote_name(quoted, c.name);
        EXPECT_EQ(quoted, c.quoted);
    }
    for (int a = 0; a < 256; a++)
        for (int b : {0, int{'x'}, 0x80, 0xa9, 0xff}) {
            const std::string name = {static_cast<char>(a), static_cast<char>(b)};
            std::string quoted, back;
            quote_name(quoted, name);
            const char *p = quoted.c_str();
            EXPECT_TRUE(unquote_name(p, back) && back == name && *p == '\0') << a << " " << b;
        }
    for (const char *bad : {"", "plain", "\"open", "\"\\q\"", "\"\\47\"", "\"a\nb\""}) {
        std::string back;
        const char *p = bad;
        EXPECT_FALSE(unquote_name(p, back)) << bad;
    }
}

TEST(dakt_close_fd, keeps_errno_and_asserts_on_ebadf)
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    errno = ENOSPC;
    dakt_close_fd(fd);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closed";
    errno = ENOSPC;
    dakt_close_fd(-1);
    EXPECT_EQ(errno, ENOSPC);
    // The threadsafe style runs this program again, which an emulator's child cannot.
    GTEST_FLAG_SET(death_test_style, emulated() ? "fast" : "threadsafe");
    EXPECT_DEATH(dakt_close_fd(fd), "Vaskel.*dakt-local-alloc.h:73:dakt_close_fd.*errno != EBADF");
}

} // namespace
