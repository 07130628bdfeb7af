// wardfs handlers called directly against a temporary base directory, for what the kernel
// never sends: odd paths, tiny buffers, error codes, an O_RDONLY | O_TRUNC open.
#include "support.h"
#include "record_format.h"
#include "wardfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
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
