// vaskel_break_hardlink on its own: what the copy keeps, symbolic links, single links,
// error codes, and that a failure leaves the name whole and no temporary behind.
#include "support.h"
#include "vaskel.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct break_hardlink : testing::Test {
    temp_dir dir;
    int dfd = -1;
    void SetUp() override { dfd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
    void TearDown() override { close(dfd); }

    // Calls the library; returns the GError code, or -1 on success.
    int call(const char *path, gboolean skip_xattrs = FALSE, std::string *message = nullptr)
    {
        GError *error = nullptr;
        if (vaskel_break_hardlink(dfd, path, skip_xattrs, nullptr, &error)) {
            EXPECT_EQ(error, nullptr);
            return -1;
        }
        if (error == nullptr) {
            ADD_FAILURE() << "failure without a GError";
            return -2;
        }
        int code = error->code;
        if (message != nullptr)
            *message = error->message;
        g_error_free(error);
        return code;
    }
};

TEST_F(break_hardlink, regular_file_keeps_content_and_metadata)
{
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    write_file(dir / "sub/f", "content\n");
    ASSERT_EQ(link((dir / "sub/f").c_str(), (dir / "g").c_str()), 0);
    ASSERT_EQ(chmod((dir / "sub/f").c_str(), 04751), 0);
    bool have_xattr = setxattr((dir / "sub/f").c_str(), "user.k", "v", 1, 0) == 0;
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((dir / "sub/f").c_str(), 1234, 5678), 0);
    }
    const struct timespec times[2] = {{1000000, 5}, {2000000, 7}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "sub/f").c_str(), times, 0), 0);
    struct stat before = lstat_of(dir / "g");

    EXPECT_EQ(call("sub/f"), -1);
    struct stat after = lstat_of(dir / "sub/f");
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 1u);
    EXPECT_EQ(lstat_of(dir / "g").st_nlink, 1u);
    EXPECT_EQ(read_file(dir / "sub/f"), "content\n");
    EXPECT_EQ(after.st_mode, before.st_mode) << "setuid bit included";
    EXPECT_EQ(after.st_atim.tv_sec, 1000000);
    EXPECT_EQ(after.st_mtim.tv_sec, 2000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 7);
    if (root) {
        EXPECT_TRUE(after.st_uid == 1234 && after.st_gid == 5678);
    }
    if (have_xattr) {
        char v[8] = {};
        EXPECT_EQ(getxattr((dir / "sub/f").c_str(), "user.k", v, sizeof v), 1);
    }
    EXPECT_EQ(names_in(dir / "sub"), std::vector<std::string>{"f"}) << "no temporary left";
}

TEST_F(break_hardlink, skip_xattrs_leaves_them_out)
{
    write_file(dir / "f", "x");
    if (setxattr((dir / "f").c_str(), "user.k", "v", 1, 0) != 0)
        GTEST_SKIP() << "no user xattrs on " << dir.path;
    ASSERT_EQ(link((dir / "f").c_str(), (dir / "g").c_str()), 0);
    EXPECT_EQ(call("f", TRUE), -1);
    EXPECT_EQ(getxattr((dir / "f").c_str(), "user.k", nullptr, 0), -1);
    EXPECT_EQ(getxattr((dir / "g").c_str(), "user.k", nullptr, 0), 1);
}

TEST_F(break_hardlink, sparse_file_stays_sparse)
{
    const off_t size = 256 << 20;
    int fd = open((dir / "f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "tail", 4, size - 4), 4);
    close(fd);
    ASSERT_EQ(link((dir / "f").c_str(), (dir / "g").c_str()), 0);
    EXPECT_EQ(call("f"), -1);
    struct stat st = lstat_of(dir / "f");
    EXPECT_EQ(st.st_size, size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "holes were filled";
    std::string content = read_file(dir / "f");
    EXPECT_EQ(content.substr(0, 4), "head");
    EXPECT_EQ(content.substr(size - 4), "tail");
    EXPECT_EQ(content.find_first_not_of('\0', 4), static_cast<size_t>(size - 4));
}

TEST_F(break_hardlink, symlink_and_single_link)
{
    ASSERT_EQ(symlink("some/target", (dir / "l").c_str()), 0);
    ASSERT_EQ(link((dir / "l").c_str(), (dir / "m").c_str()), 0);
    ino_t old_ino = lstat_of(dir / "l").st_ino;
    EXPECT_EQ(call("l"), -1);
    struct stat st = lstat_of(dir / "l");
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(st.st_ino, old_ino);
    EXPECT_EQ(st.st_nlink, 1u);
    char target[64] = {};
    EXPECT_EQ(readlink((dir / "l").c_str(), target, sizeof target - 1), 11);
    EXPECT_STREQ(target, "some/target");

    write_file(dir / "single", "one");
    ino_t ino = lstat_of(dir / "single").st_ino;
    EXPECT_EQ(call("single"), -1);
    EXPECT_EQ(lstat_of(dir / "single").st_ino, ino) << "a single link is left alone";
}

TEST_F(break_hardlink, error_codes_and_messages)
{
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    std::string message;
    EXPECT_EQ(call("missing", FALSE, &message), 1);
    EXPECT_NE(message.find("\"missing\""), std::string::npos) << message;
    EXPECT_EQ(call("d"), 3);
    EXPECT_EQ(call("."), 3);
}

// A copy that does not fit must fail with "no space" and lose nothing.
TEST_F(break_hardlink, no_space_loses_nothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    temp_dir small;
    ASSERT_EQ(mount("tmpfs", small.path.c_str(), "tmpfs", 0, "size=1m"), 0);
    std::string content(700 * 1024, 'x');
    write_file(small / "f", content);
    ASSERT_EQ(link((small / "f").c_str(), (small / "g").c_str()), 0);
    ino_t ino = lstat_of(small / "f").st_ino;
    int sdfd = open(small.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::swap(dfd, sdfd);
    std::string message;
    EXPECT_EQ(call("f", FALSE, &message), 12) << message;
    std::swap(dfd, sdfd);
    close(sdfd);
    EXPECT_EQ(lstat_of(small / "f").st_ino, ino);
    EXPECT_EQ(read_file(small / "f"), content);
    EXPECT_EQ(names_in(small.path), (std::vector<std::string>{"f", "g"}));
    EXPECT_EQ(umount2(small.path.c_str(), MNT_DETACH), 0);
}

// The library's generator: refuses a value that is not an absolute path and directories
// that do not exist, and appends what it received to VASKEL_GENERATOR_RECORD when asked.
TEST(library_generator, checks_and_records_its_arguments)
{
    temp_dir dir;
    const std::string record = dir / "record";
    const auto run = [&](const char *value, const char *normal, const char *late) {
        GError *error = nullptr;
        gboolean ok = vaskel_cmd__private__()->run_generator(value, normal, nullptr, late, &error);
        EXPECT_EQ(ok == FALSE, error != nullptr) << "a failure sets a GError, a success none";
        if (error != nullptr)
            g_error_free(error);
        return ok != FALSE;
    };
    const char *d = dir.path.c_str();
    unsetenv("VASKEL_GENERATOR_RECORD");
    EXPECT_TRUE(run("/deploy/0", d, d));
    EXPECT_EQ(access(record.c_str(), F_OK), -1) << "nothing is written unless asked";

    setenv("VASKEL_GENERATOR_RECORD", record.c_str(), 1);
    EXPECT_TRUE(run("/deploy/0", d, d));
    EXPECT_FALSE(run("relative", d, d));
    EXPECT_FALSE(run("/deploy/1", "/nonexistent", d));
    unsetenv("VASKEL_GENERATOR_RECORD");
    EXPECT_EQ(read_file(record), "/deploy/0\t" + dir.path + "\t(null)\t" + dir.path + "\n" +
                                     "relative\t" + dir.path + "\t(null)\t" + dir.path + "\n" +
                                     "/deploy/1\t/nonexistent\t(null)\t" + dir.path + "\n");
}

} // namespace
