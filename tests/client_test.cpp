// What ordinary programs see through a wardfs mount, compared with what they see on a plain
// directory: hard links and inode numbers, owners of new entries, modes under a umask, single
// time stamps, a running program's shared file replaced, preallocation, and the mount helper.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/aio_abi.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct clients : mount_fixture<> {
    std::string plain = work / "plain";
    void SetUp() override
    {
        mount_fixture::SetUp();
        ASSERT_EQ(mkdir(plain.c_str(), 0755), 0); // other users must reach it too
    }
};

// Runs a shell script in `dir`, as `uid`:`gid` with the supplementary `groups` unless uid is 0.
run_result sh_in(const std::string &dir, const std::string &script, uid_t uid = 0, gid_t gid = 0,
                 std::vector<gid_t> groups = {})
{
    return run("/bin/sh", {"sh", "-c", script}, [&] {
        if (chdir(dir.c_str()) != 0 || (uid != 0 && (setgroups(groups.size(), groups.data()) != 0 ||
                                                     setgid(gid) != 0 || setuid(uid) != 0)))
            _exit(126);
    });
}

// Type, mode, owner and group of every entry below `dir`, one line each, sorted.
std::string owners_and_modes(const std::string &dir)
{
    return sh_in(dir, "find . -printf '%p %y %m %U:%G\\n' | LC_ALL=C sort").out;
}

TEST_F(clients, hard_links_keep_one_inode_number)
{
    write_file(base + "/f", std::string(100000, 'f'));
    ASSERT_EQ(mkdir((base + "/d").c_str(), 0755), 0);
    ASSERT_EQ(link((base + "/f").c_str(), (base + "/d/g").c_str()), 0);
    write_file(base + "/h", "h");
    ASSERT_EQ(mkdir((base + "/x").c_str(), 0755), 0);
    wardfs_mount m(base, mnt);

    const ino_t ino = lstat_of(base + "/f").st_ino;
    EXPECT_EQ(lstat_of(m / "f").st_ino, ino);
    EXPECT_EQ(lstat_of(m / "d/g").st_ino, ino);
    EXPECT_EQ(lstat_of(m / "x").st_ino, lstat_of(base + "/x").st_ino);
    DIR *d = opendir((m / "d").c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, "g") == 0) {
            EXPECT_EQ(e->d_ino, ino) << "readdir shows the same number";
        }
    }
    closedir(d);

    // The numbers are the base's, so they stay put across a rename.
    ASSERT_EQ(rename((m / "x").c_str(), (m / "y").c_str()), 0);
    EXPECT_EQ(lstat_of(m / "y").st_ino, lstat_of(base + "/y").st_ino);

    // Tools that look for hard links find them, as on the base.
    const struct {
        const char *what, *script;
    } tools[] = {
        {"find -samefile", "find . -samefile ./f | LC_ALL=C sort"},
        {"tar stores a link", "tar -cf - . | tar -tvf - | grep -c ' link to '"},
        {"du counts once", "du -sb --apparent-size . | cut -f1"},
        {"cp -a keeps the link",
         "d=$(mktemp -d) && cp -a . \"$d/t\" && stat -c %h \"$d/t/f\"; rm -rf \"$d\""},
    };
    for (const auto &t : tools) {
        run_result through = sh_in(m.mnt, t.script), direct = sh_in(base, t.script);
        EXPECT_EQ(through.status, 0) << t.what << ": " << through.err;
        EXPECT_EQ(through.out, direct.out) << t.what;
    }
}

// New entries belong to their creator and get the mode it asked for under its umask, as on a
// plain directory: as root, as nobody in its own directory, and as a user whose supplementary
// group owns a setgid directory.
TEST_F(clients, new_entries_belong_to_their_creator)
{
    const gid_t group = 4242;
    for (const std::string &root : {base, plain}) {
        for (const char *dir : {"/own", "/shared-group"})
            ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
        ASSERT_EQ(chown((root + "/own").c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown((root + "/shared-group").c_str(), 0, group), 0);
        ASSERT_EQ(chmod((root + "/shared-group").c_str(), 02775), 0);
    }
    wardfs_mount m(base, mnt, {"-oallow_other"});
    const std::string script =
        "umask 0; touch f0; mkdir d0; ln -s t s0; echo x >e0; echo more >>e0; "
        "umask 002; touch f2; mkdir -p d2/sub; touch d2/sub/f; echo y >d2/sub/f; "
        "umask 077; touch f7; mkdir d7; cp /etc/hostname c7; install -m 0640 /etc/hostname i7; "
        "umask 022; touch f22; mkdir d22; chmod 0600 f22";
    const struct {
        const char *who, *dir;
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;
    } callers[] = {
        {"root", "", 0, 0, {}},
        {"nobody", "/own", 65534, 65534, {}},
        {"nobody with a supplementary group", "/shared-group", 65534, 65534, {group}},
    };
    for (const auto &c : callers) {
        const std::string where = std::string(c.dir) + "/" + (c.uid == 0 ? "root" : "user");
        ASSERT_EQ(mkdir((base + where).c_str(), 0777), 0);
        ASSERT_EQ(mkdir((plain + where).c_str(), 0777), 0);
        for (const std::string &root : {base, plain})
            ASSERT_EQ(chown((root + where).c_str(), c.uid, c.gid), 0);
        run_result through = sh_in(m.mnt + where, script, c.uid, c.gid, c.groups);
        run_result direct = sh_in(plain + where, script, c.uid, c.gid, c.groups);
        EXPECT_EQ(direct.status, 0) << c.who << ": " << direct.err;
        EXPECT_EQ(through.status, direct.status) << c.who << ": " << through.err;
        EXPECT_EQ(owners_and_modes(base + where), owners_and_modes(plain + where)) << c.who;
    }
}

// A copy-up is the file system's own work: made for another user, the copy keeps the file's
// owner, group and mode, and only the change that user asked for lands on it.
TEST_F(clients, copyup_for_another_user_keeps_the_owner)
{
    const struct {
        const char *command;
        uid_t owner;
        mode_t mode;
        mode_t mode_after;
        const char *content_after;
    } cases[] = {
        {"echo more >>f", 0, 0666, 0666, "sharedmore\n"},
        {"chmod 0600 f", 65534, 0644, 0600, "shared"},
        {"truncate -s 2 f", 0, 0646, 0646, "sh"},
    };
    wardfs_mount m(base, mnt, {"--copyup", "-oallow_other"});
    for (const auto &c : cases) {
        write_file(base + "/f", "shared");
        ASSERT_EQ(chown((base + "/f").c_str(), c.owner, 4242), 0);
        ASSERT_EQ(chmod((base + "/f").c_str(), c.mode), 0);
        ASSERT_EQ(link((base + "/f").c_str(), (base + "/other").c_str()), 0);
        run_result r = sh_in(m.mnt, c.command, 65534, 65534);
        EXPECT_EQ(r.status, 0) << c.command << ": " << r.err;
        struct stat own = lstat_of(base + "/f"), other = lstat_of(base + "/other");
        EXPECT_EQ(own.st_nlink, 1u) << c.command;
        EXPECT_EQ(own.st_uid, c.owner) << c.command;
        EXPECT_EQ(own.st_gid, 4242u) << c.command;
        EXPECT_EQ(own.st_mode & 07777, c.mode_after) << c.command;
        EXPECT_EQ(read_file(base + "/f"), c.content_after) << c.command;
        EXPECT_EQ(read_file(base + "/other"), "shared") << c.command;
        EXPECT_EQ(other.st_mode & 07777, c.mode) << c.command;
        unlink((base + "/f").c_str());
        unlink((base + "/other").c_str());
    }
}

// A write by another user clears the set-user-ID and set-group-ID bits as on the base: the
// daemon writes as root (or the kernel through a backing file), so the writer's own ids
// decide. A set-group-ID bit without group execute stays for a writer in the file's group.
TEST_F(clients, unprivileged_write_clears_set_id_bits)
{
    const struct {
        mode_t mode;
        gid_t group;
        mode_t kept;
    } cases[] = {{06777, 0, 0}, {06777, 65534, 0}, {02666, 65534, 02000}, {02666, 0, 0}};
    wardfs_mount m(base, mnt, {"-oallow_other"});
    for (const auto &c : cases) {
        for (const std::string &root : {base, plain}) {
            write_file(root + "/prog", "program");
            ASSERT_EQ(chown((root + "/prog").c_str(), 0, c.group), 0);
            ASSERT_EQ(chmod((root + "/prog").c_str(), c.mode), 0);
        }
        EXPECT_EQ(sh_in(m.mnt, "echo more >>prog", 65534, 65534).status, 0);
        EXPECT_EQ(sh_in(plain, "echo more >>prog", 65534, 65534).status, 0);
        EXPECT_EQ(lstat_of(base + "/prog").st_mode, lstat_of(plain + "/prog").st_mode)
            << std::oct << c.mode << " group " << std::dec << c.group;
        EXPECT_EQ(lstat_of(base + "/prog").st_mode & 06000, c.kept);
    }
}

// Preallocation, hole punching and zeroing by another user clear set-ID bits as the base
// does for that user: set-user-ID always, set-group-ID of a group the user is not in.
TEST_F(clients, unprivileged_fallocate_clears_set_id_bits)
{
    const char *commands[] = {"fallocate -l 8192 f", "fallocate -p -o 0 -l 4096 f",
                              "fallocate -z -o 0 -l 4096 f"};
    wardfs_mount m(base, mnt, {"-oallow_other"});
    for (const char *command : commands)
        for (mode_t mode : {02666, 04666, 06666, 06766, 06777, 02676}) {
            for (const std::string &root : {base, plain}) {
                write_file(root + "/f", std::string(8192, 'x'));
                ASSERT_EQ(chmod((root + "/f").c_str(), mode), 0);
            }
            EXPECT_EQ(sh_in(m.mnt, command, 65534, 65534).status, 0) << command;
            EXPECT_EQ(sh_in(plain, command, 65534, 65534).status, 0) << command;
            EXPECT_EQ(lstat_of(base + "/f").st_mode, lstat_of(plain + "/f").st_mode)
                << command << std::oct << " from " << mode;
        }
}

// O_DIRECT through the mount works as on the base: aligned writes, appends, reads, and
// pages written through a mapping of a file opened with O_DIRECT.
TEST_F(clients, direct_io_matches_a_plain_directory)
{
    // qemu-user hands the target daemon the host kernel's open flags unconverted; x86's
    // O_DIRECT is ARM's O_DIRECTORY. A real target's kernel speaks its own numbers.
    if (emulated())
        GTEST_SKIP() << "*** SKIP: open flags from the host kernel reach an emulated daemon "
                        "unconverted ***";
    wardfs_mount m(base, mnt);
    void *raw = nullptr;
    ASSERT_EQ(posix_memalign(&raw, 4096, 8192), 0);
    auto *block = static_cast<char *>(raw);
    memset(block, 'd', 8192);
    for (const std::string &root : {m.mnt, plain}) {
        SCOPED_TRACE(root);
        const std::string f = root + "/direct";
        int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_DIRECT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(write(fd, block, 4096), 4096) << strerror(errno);
        EXPECT_EQ(write(fd, block, 4096), 4096) << "append: " << strerror(errno);
        close(fd);
        fd = open(f.c_str(), O_RDWR | O_DIRECT | O_DSYNC | O_CLOEXEC);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(pread(fd, block, 4096, 4096), 4096) << strerror(errno);
        EXPECT_EQ(pwrite(fd, block, 4096, 8192), 4096) << strerror(errno);
        void *map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(map, MAP_FAILED) << strerror(errno);
        memcpy(map, "mapped", 6);
        EXPECT_EQ(msync(map, 4096, MS_SYNC), 0) << strerror(errno);
        munmap(map, 4096);
        close(fd);
    }
    free(raw);
    EXPECT_EQ(read_file(base + "/direct"), read_file(plain + "/direct"));
    EXPECT_EQ(read_file(base + "/direct").substr(0, 6), "mapped");
}

// Each aio O_DIRECT write, once complete, is what a buffered read sees next, while other
// readers keep filling the page cache: no page of the old content may outlive the write.
TEST_F(clients, aio_direct_write_leaves_no_stale_pages)
{
    if (emulated())
        GTEST_SKIP() << "*** SKIP: open flags from the host kernel reach an emulated daemon "
                        "unconverted ***";
    wardfs_mount m(base, mnt);
    const std::string f = m / "aio";
    constexpr size_t size = 640 << 10;
    write_file(f, std::string(size, 'x'));
    aio_context_t ctx = 0;
    ASSERT_EQ(syscall(SYS_io_setup, 1, &ctx), 0) << strerror(errno);
    void *raw = nullptr;
    ASSERT_EQ(posix_memalign(&raw, 4096, size), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; i++)
        readers.emplace_back([&] {
            std::string buf(size, '\0');
            while (!stop) {
                int fd = open(f.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd >= 0 && pread(fd, buf.data(), size, 0) >= 0)
                    close(fd);
            }
        });
    std::string seen(size, '\0');
    int stale = 0, cycles = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         std::chrono::steady_clock::now() < end && stale == 0; cycles++) {
        const char pattern = cycles % 2 ? 'U' : 'a';
        memset(raw, pattern, size);
        int fd = open(f.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
        ASSERT_GE(fd, 0) << strerror(errno);
        struct iocb cb = {};
        cb.aio_fildes = static_cast<uint32_t>(fd);
        cb.aio_lio_opcode = IOCB_CMD_PWRITE;
        cb.aio_buf = reinterpret_cast<uintptr_t>(raw);
        cb.aio_nbytes = size;
        struct iocb *cbs[] = {&cb};
        struct io_event done = {};
        ASSERT_EQ(syscall(SYS_io_submit, ctx, 1, cbs), 1) << strerror(errno);
        ASSERT_EQ(syscall(SYS_io_getevents, ctx, 1, 1, &done, nullptr), 1) << strerror(errno);
        ASSERT_EQ(done.res, static_cast<int64_t>(size));
        close(fd);
        fd = open(f.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(pread(fd, seen.data(), size, 0), static_cast<ssize_t>(size));
        close(fd);
        stale = static_cast<int>(
            std::count_if(seen.begin(), seen.end(), [&](char c) { return c != pattern; }));
    }
    stop = true;
    for (auto &t : readers)
        t.join();
    syscall(SYS_io_destroy, ctx);
    free(raw);
    EXPECT_EQ(stale, 0) << "stale bytes after write " << cycles;
}

// A program its caller may run but not read (mode 0711) runs through the mount, as on the
// base; one it may not run does not.
TEST_F(clients, execute_only_program_runs)
{
    const struct {
        mode_t mode;
        int status;
    } cases[] = {{0711, 0}, {0700, 126}, {0744, 126}};
    wardfs_mount m(base, mnt, {"-oallow_other"});
    for (const auto &c : cases)
        for (const std::string &root : {base, plain}) {
            const std::string program = root + "/true";
            ASSERT_EQ(system(("cp /bin/true " + program).c_str()), 0);
            ASSERT_EQ(chmod(program.c_str(), c.mode), 0);
            const std::string through = root == base ? m / "true" : program;
            EXPECT_EQ(sh_in(root, through, 65534, 65534).status, c.status)
                << std::oct << c.mode << " " << through;
            unlink(program.c_str());
        }
}

// Right after ln, the old name shows the new link count and ctime in the libfuse 3 build.
// libfuse 2's high-level API cannot tell the kernel: there they show within the attribute
// timeout.
TEST_F(clients, link_count_right_after_link)
{
    wardfs_mount m(base, mnt);
    for (int round = 0; round < 3; round++) {
        const std::string a = m / ("a" + std::to_string(round)), b = a + "b";
        write_file(a, "a");
        struct stat before = lstat_of(a);
        usleep(20000);
        ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(WARDFS_FUSE_MAJOR == 3 ? 0 : 2000);
        struct stat after = lstat_of(a);
        while (after.st_nlink != 2 && std::chrono::steady_clock::now() < deadline) {
            usleep(50000);
            after = lstat_of(a);
        }
        EXPECT_EQ(after.st_nlink, 2u);
        EXPECT_EQ(lstat_of(b).st_nlink, 2u);
        EXPECT_TRUE(after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
                    after.st_ctim.tv_nsec != before.st_ctim.tv_nsec);
    }
}

// A reader that takes one entry at a time and seeks to the offset each entry gave it
// (as telldir and seekdir do, and programs that page through a directory) sees the whole
// directory, once, as on the base.
TEST_F(clients, directory_offsets_survive_seeks)
{
    for (int i = 0; i < 600; i++) {
        const std::string name = "/" + std::string(150 + i % 100, 'a' + i % 26) + std::to_string(i);
        write_file(base + name, "");
        write_file(plain + name, "");
    }
    wardfs_mount m(base, mnt);
    for (const std::string &dir : {m.mnt, plain}) {
        SCOPED_TRACE(dir);
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::vector<std::string> names;
        alignas(8) char buf[NAME_MAX + 1 + sizeof(struct dirent64)];
        for (int round = 0; round < 1000; round++) {
            long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
            ASSERT_GE(n, 0) << strerror(errno);
            if (n == 0)
                break;
            auto *e = reinterpret_cast<struct dirent64 *>(buf);
            names.emplace_back(e->d_name);
            ASSERT_EQ(lseek(fd, e->d_off, SEEK_SET), e->d_off);
        }
        close(fd);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names.size(), 602u);
        EXPECT_TRUE(std::adjacent_find(names.begin(), names.end()) == names.end())
            << "an entry came twice";
    }
}

// touch -a, touch -m and UTIME_NOW change exactly the time stamps they name.
TEST_F(clients, single_time_stamps)
{
    const time_t start = time(nullptr);
    const struct {
        const char *args;
        bool atime_now, mtime_now;
    } cases[] = {
        {"-a -d @1000000000", false, false},
        {"-m -d @1100000000", false, false},
        {"-d @1200000000", false, false},
        {"-a", true, false},
        {"-m", false, true},
        {"", true, true},
    };
    for (const auto &c : cases) {
        for (const std::string &root : {base, plain}) {
            write_file(root + "/t", "t");
            const struct timespec old[2] = {{500000000, 1}, {600000000, 2}};
            ASSERT_EQ(utimensat(AT_FDCWD, (root + "/t").c_str(), old, 0), 0);
        }
        wardfs_mount m(base, mnt);
        EXPECT_EQ(sh_in(m.mnt, std::string("touch ") + c.args + " t").status, 0) << c.args;
        EXPECT_EQ(sh_in(plain, std::string("touch ") + c.args + " t").status, 0) << c.args;
        struct stat through = lstat_of(base + "/t"), direct = lstat_of(plain + "/t");
        if (c.atime_now)
            EXPECT_GE(through.st_atim.tv_sec, start) << c.args;
        else
            EXPECT_EQ(through.st_atim.tv_sec, direct.st_atim.tv_sec) << c.args;
        if (c.mtime_now)
            EXPECT_GE(through.st_mtim.tv_sec, start) << c.args;
        else
            EXPECT_EQ(through.st_mtim.tv_sec, direct.st_mtim.tv_sec) << c.args;
    }
}

// A shared program that runs from its other name: the base refuses to open it for writing
// (ETXTBSY). Replacing it through the mount is refused with EROFS, or with --copyup gives the
// name its own file while the running program keeps its inode.
TEST_F(clients, running_program_replaced_through_copyup)
{
    const std::string program = run("/bin/sh", {"sh", "-c", "command -v sleep"}).out;
    ASSERT_FALSE(program.empty());
    const std::string sleeper = read_file(program.substr(0, program.size() - 1));
    write_file(base + "/prog", sleeper);
    ASSERT_EQ(chmod((base + "/prog").c_str(), 0755), 0);
    ASSERT_EQ(link((base + "/prog").c_str(), (base + "/running").c_str()), 0);
    pid_t pid = fork();
    if (pid == 0) {
        execl((base + "/running").c_str(), "running", "60", nullptr);
        _exit(127);
    }
    struct stop {
        pid_t pid;
        ~stop()
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } stop_it{pid};
    // Running once the base refuses a write-open with ETXTBSY.
    for (int i = 0; i < 1000; i++) {
        int fd = open((base + "/prog").c_str(), O_WRONLY | O_CLOEXEC);
        if (fd == -1 && errno == ETXTBSY)
            break;
        if (fd >= 0)
            close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const struct {
        std::vector<std::string> options;
        int status;
        const char *message;
    } cases[] = {{{}, 1, "Read-only file system"}, {{"--copyup"}, 0, ""}};
    for (const auto &c : cases) {
        wardfs_mount m(base, mnt, c.options);
        run_result r = sh_in(m.mnt, "cp /etc/hostname prog");
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(base + "/prog"), read_file("/etc/hostname"));
    EXPECT_EQ(read_file(base + "/running"), sleeper);
    EXPECT_EQ(lstat_of(base + "/running").st_nlink, 1u);
    EXPECT_EQ(kill(pid, 0), 0) << "the program still runs";
}

// Preallocation and hole punching reach a file opened for writing, as on a plain file; a
// shared file is never opened so, and with --copyup only the copy grows.
TEST_F(clients, fallocate_and_punch_hole)
{
    const off_t mib = 1 << 20;
    for (const bool copyup : {false, true}) {
        SCOPED_TRACE(copyup ? "--copyup" : "plain");
        write_file(base + "/f", std::string(mib, 'x'));
        write_file(plain + "/f", std::string(mib, 'x'));
        write_file(base + "/shared", "shared");
        ASSERT_EQ(link((base + "/shared").c_str(), (base + "/other").c_str()), 0);
        wardfs_mount m(base, mnt,
                       copyup ? std::vector<std::string>{"--copyup"} : std::vector<std::string>{});
        for (const std::string &f : {m / "f", plain + "/f"}) {
            int fd = open(f.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(fd, 0) << f;
            EXPECT_EQ(fallocate(fd, 0, mib, mib), 0) << f << ": " << strerror(errno);
            EXPECT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, 8192), 0)
                << f << ": " << strerror(errno);
            close(fd);
            fd = open(f.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_EQ(fallocate(fd, 0, 0, 2 * mib), -1);
            EXPECT_EQ(errno, EBADF) << "read-only descriptor";
            close(fd);
        }
        EXPECT_EQ(read_file(base + "/f"), read_file(plain + "/f"));
        EXPECT_EQ(lstat_of(base + "/f").st_size, 2 * mib);
        EXPECT_LT(lstat_of(base + "/f").st_blocks, lstat_of(plain + "/f").st_blocks + 8);

        int fd = open((m / "shared").c_str(), O_RDWR | O_CLOEXEC);
        if (!copyup) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, EROFS);
        } else {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(fallocate(fd, 0, 0, mib), 0);
            close(fd);
            EXPECT_EQ(lstat_of(base + "/shared").st_size, mib);
        }
        EXPECT_EQ(lstat_of(base + "/other").st_size, 6) << "the other name never grows";
        unlink((base + "/shared").c_str());
        unlink((base + "/other").c_str());
    }
}

// mount(8) starts wardfs through the fuse package's helper and hands it only -o options:
// "-o copyup" and "-o xattr" are wardfs's own. The helper finds the program on the PATH it
// sets, so this test's private mount namespace lays a tmpfs over /usr/local/bin holding it.
TEST_F(clients, mount_helper_with_o_copyup)
{
    if (system("test -x /sbin/mount.fuse || test -x /usr/sbin/mount.fuse") != 0)
        GTEST_SKIP() << "*** SKIP: no mount.fuse (the fuse package) ***";
    const std::string bin = "/usr/local/bin";
    ASSERT_EQ(mount("tmpfs", bin.c_str(), "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
    struct unmount_bin {
        std::string dir;
        ~unmount_bin() { umount2(dir.c_str(), MNT_DETACH); }
    } keep{bin};
    write_file(bin + "/wardfs", wardfs_launcher_script());
    ASSERT_EQ(chmod((bin + "/wardfs").c_str(), 0755), 0);

    write_file(base + "/f", "shared");
    ASSERT_EQ(link((base + "/f").c_str(), (base + "/g").c_str()), 0);
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    run_result r =
        run("/bin/mount", {"mount", "-t", "fuse.wardfs", base, mnt, "-o", "copyup,xattr"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct unmount_mnt {
        std::string dir;
        ~unmount_mnt() { EXPECT_EQ(system(("umount '" + dir + "'").c_str()), 0); }
    } unmount{mnt};
    EXPECT_NE(mountinfo_line(mnt).find("fuse.wardfs"), std::string::npos) << mountinfo_line(mnt);
    EXPECT_EQ(sh_in(mnt, "echo more >>f && setfattr -n user.k -v v f").status, 0);
    EXPECT_EQ(read_file(base + "/f"), "sharedmore\n");
    EXPECT_EQ(read_file(base + "/g"), "shared");
    EXPECT_EQ(sh_in(base, "getfattr --only-values -n user.k f").out, "v");
}

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
