// Helpers shared by the test programs.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/wardfs-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    path = tmpl;
}

temp_dir::~temp_dir()
{
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            remove(p);
            return 0;
        },
        64, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    ASSERT_TRUE(f.good()) << path;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct stat lstat_of(const std::string &path)
{
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

static void drain(int out_fd, int err_fd, run_result &r)
{
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *dest[2] = {&r.out, &r.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                dest[i]->append(buf, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
}

#ifndef TEST_EMULATOR
#define TEST_EMULATOR ""
#endif

// Built for another machine and run under an emulator: a cross build on a machine that has
// the emulator. A booted guest of the target's kind has none and runs the programs itself.
// (The machine's name cannot tell: under qemu-user, uname reports the target's.)
bool emulated()
{
    static const bool has_emulator = [] {
        std::string emulator = TEST_EMULATOR;
        if (emulator.empty())
            return false;
        if (emulator.find('/') != std::string::npos)
            return access(emulator.c_str(), X_OK) == 0;
        const char *path = getenv("PATH");
        std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (!dir.empty() && access((dir + "/" + emulator).c_str(), X_OK) == 0)
                return true;
        return false;
    }();
    return has_emulator;
}

const char *program_under_test(const char *name, const char *built)
{
    const char *installed = getenv(name);
    return installed != nullptr && *installed != '\0' ? installed : built;
}

const char *wardfs_bin()
{
    return program_under_test("WARDFS", WARDFS_BIN);
}

const char *record_names_bin()
{
    return program_under_test("WARDFS_RECORD_NAMES", WARDFS_RECORD_NAMES);
}

// A program built for the target: an ARM ELF file, while this host is not ARM.
static bool built_for_target(const char *program)
{
    unsigned char header[20] = {};
    int fd = open(program, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool got = read(fd, header, sizeof header) == sizeof header;
    close(fd);
    return got && memcmp(header, ELFMAG, SELFMAG) == 0 && header[18] == EM_ARM && header[19] == 0;
}

void exec_program(const char *program, char *const argv[])
{
    if (!emulated() || !built_for_target(program)) {
        execve(program, argv, environ);
        _exit(127);
    }
    std::vector<char *> args = {const_cast<char *>(TEST_EMULATOR), const_cast<char *>("-0"),
                                argv[0] != nullptr ? argv[0] : const_cast<char *>(program),
                                const_cast<char *>(program)};
    for (size_t i = 1; argv[0] != nullptr && argv[i] != nullptr; i++)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(TEST_EMULATOR, args.data());
    _exit(127);
}

run_result run(const std::string &program, const std::vector<std::string> &argv,
               const std::function<void()> &child_setup)
{
    run_result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (child_setup)
            child_setup();
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        exec_program(program.c_str(), args.data());
    }
    close(out[1]);
    close(err[1]);
    drain(out[0], err[0], r);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

int as_user(uid_t uid, const std::function<int()> &fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            _exit(126);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string mountinfo_line(const std::string &mount_point)
{
    std::ifstream f("/proc/self/mountinfo");
    std::string line, found;
    while (std::getline(f, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        fields >> id >> parent >> devno >> root >> point;
        if (point == mount_point)
            found = line; // the last one is the top of the stack
    }
    return found;
}

static bool fuse_mounted_at(const std::string &mnt)
{
    std::string line = mountinfo_line(mnt);
    return line.find(" - fuse") != std::string::npos;
}

// Options every test daemon gets. WARDFS_TEST_OPTIONS adds mount options for a whole run
// (no_passthrough, io_uring).
static std::vector<std::string> daemon_options()
{
    std::vector<std::string> options;
#ifdef VASKEL_TSAN
    // Requests and replies then move through /dev/fuse by read and write, which
    // ThreadSanitizer sees, instead of splice, which it does not: with splice, the order the
    // kernel keeps between a read's reply and the release of its file is invisible to it.
    options.push_back("-ono_splice_read,no_splice_write,no_splice_move");
#endif
    if (const char *extra = getenv("WARDFS_TEST_OPTIONS"); extra != nullptr && *extra != '\0')
        options.push_back(std::string("-o") + extra);
    return options;
}

std::string wardfs_launcher_script()
{
    std::string script = std::string("#!/bin/sh\nexec ") + (emulated() ? TEST_EMULATOR " " : "") +
                         wardfs_bin() + " \"$@\"";
    for (const auto &option : daemon_options())
        script += " '" + option + "'";
    return script + "\n";
}

wardfs_mount::wardfs_mount(const std::string &base_, const std::string &mnt_,
                           const std::vector<std::string> &extra,
                           const std::function<void()> &child_setup)
    : base(base_), mnt(mnt_), log(mnt_ + ".log")
{
    mkdir(mnt.c_str(), 0755);
    std::vector<std::string> args = {wardfs_bin(), base, mnt, "-f"};
    for (const auto &option : daemon_options())
        args.push_back(option);
    args.insert(args.end(), extra.begin(), extra.end());
    pid = fork();
    if (pid == 0) {
        // A test that dies without running this fixture's destructor takes its daemon along,
        // which then unmounts.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        if (child_setup)
            child_setup();
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        exec_program(wardfs_bin(), argv.data());
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fuse_mounted_at(mnt)) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            ADD_FAILURE() << "wardfs exited before mounting: " << read_file(log);
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "wardfs did not mount within 10 s: " << read_file(log);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void wardfs_mount::stop()
{
    if (fuse_mounted_at(mnt)) {
        std::string cmd = "fusermount -u '" + mnt + "' 2>/dev/null || umount -l '" + mnt + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not unmount " << mnt;
    }
    if (pid > 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "wardfs did not exit after unmount";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
    }
}

std::string wardfs_mount::stop_and_read_log()
{
    stop();
    return read_file(log);
}

wardfs_mount::~wardfs_mount()
{
    stop();
    unlink(log.c_str());
}

int run_privileged_tests(int argc, char **argv, bool need_fuse)
{
    testing::InitGoogleTest(&argc, argv);
    const char *missing = nullptr;
    if (geteuid() != 0)
        missing = "root";
    else if (need_fuse && access("/dev/fuse", R_OK | W_OK) != 0)
        missing = "/dev/fuse";
    else if (need_fuse && system("command -v fusermount >/dev/null") != 0)
        missing = "fusermount";
    if (missing != nullptr) {
        fprintf(stderr, "\n*** SKIP: %s needs %s, which this machine does not give it ***\n\n",
                argv[0], missing);
        return 77;
    }
    return RUN_ALL_TESTS();
}
