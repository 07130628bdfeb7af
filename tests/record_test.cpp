// The record of a mount (--record): refusals name the program, names of any bytes read back
// exactly, failed calls leave no line, and a daemon killed mid-work leaves whole lines.
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sstream>
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct recorded : mount_fixture<> {
    std::string record = work / "record";
    void SetUp() override
    {
        mount_fixture::SetUp();
        write_file(base + "/shared", "shared");
        ASSERT_EQ(link((base + "/shared").c_str(), (work / "other").c_str()), 0);
    }
    // The reader's names (NUL-separated) and exit status.
    run_result names(bool removed = false) const
    {
        std::vector<std::string> argv = {record_names_bin(), "-0"};
        if (removed)
            argv.push_back("--removed");
        argv.push_back(record);
        return run(record_names_bin(), argv);
    }
};

std::set<std::string> split(const std::string &nul_separated)
{
    std::set<std::string> out;
    for (size_t at = 0, end; (end = nul_separated.find('\0', at)) != std::string::npos;
         at = end + 1)
        out.insert(nul_separated.substr(at, end - at));
    return out;
}

// A refusal says which operation, which name, and which program asked (truncate(1) opens
// the file for writing first); calls that failed leave no line.
TEST_F(recorded, refusals_name_the_program)
{
    {
        wardfs_mount m(base, mnt, {"--record", record});
        const std::string s = m / "shared";
        for (const char *command : {"truncate -s 0", "chmod 600"})
            EXPECT_NE(run("/bin/sh", {"sh", "-c", std::string(command) + " '" + s + "'"}).status, 0)
                << command;
        EXPECT_NE(truncate(s.c_str(), 0), 0);
        EXPECT_NE(mkdir((m / "shared").c_str(), 0755), 0) << "exists";
        EXPECT_NE(unlink((m / "missing").c_str()), 0);
    }
    const std::string text = read_file(record);
    std::vector<std::string> lines = {"refused open \"shared\" ", "refused chmod \"shared\" ",
                                      " 0 \"truncate\"\n", " 0 \"chmod\"\n",
                                      "refused truncate \"shared\" "};
    // Under an emulator this program's name is the emulator's.
    if (!emulated())
        lines.push_back(" 0 \"record_tests\"\n");
    for (const auto &line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(text.find("created"), std::string::npos) << text;
    EXPECT_EQ(text.find("removed"), std::string::npos) << text;
    EXPECT_EQ(text.substr(0, 6), "start\n");
    EXPECT_EQ(text.substr(text.size() - 4), "end\n");
    EXPECT_EQ(names().status, 0);
    EXPECT_EQ(names().out, "");
}

// Names with tabs, newlines, backslashes, quotes, UTF-8 and bytes that are not UTF-8 come
// back from the reader exactly, created, renamed and removed.
TEST_F(recorded, names_of_any_bytes_read_back)
{
    const std::vector<std::string> kept = {"tab\there",   "new\nline",   "back\\slash\"quote\"",
                                           "caf\xc3\xa9", "bad\xff\xfe", "\x01\x7f\xc3",
                                           "sp ace \\377"};
    {
        wardfs_mount m(base, mnt, {"--record", record});
        for (const auto &name : kept)
            write_file(m / name + ".tmp", "x");
        for (const auto &name : kept)
            ASSERT_EQ(rename((m / name + ".tmp").c_str(), (m / name).c_str()), 0) << name;
        ASSERT_EQ(mkdir((m / "gone\n").c_str(), 0755), 0);
        ASSERT_EQ(rmdir((m / "gone\n").c_str()), 0);
    }
    run_result r = names();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split(r.out), std::set<std::string>(kept.begin(), kept.end()));
    EXPECT_EQ(names(true).out, "");
}

// kill -9 of the daemon in the middle of a workload: every line of the record is whole, and
// the reader takes it, saying it was cut short.
TEST_F(recorded, a_killed_daemon_leaves_whole_lines)
{
    wardfs_mount m(base, mnt, {"--record", record});
    ASSERT_GT(m.pid, 0) << "no daemon to kill"; // kill(-1) would end every process
    pid_t worker = fork();
    if (worker == 0) {
        for (int i = 0;; i++) {
            const std::string f = m / ("f" + std::to_string(i % 50));
            write_file(f, "data");
            rename(f.c_str(), (f + ".r").c_str());
            unlink((f + ".r").c_str());
        }
    }
    usleep(300000);
    kill(m.pid, SIGKILL);
    waitpid(m.pid, nullptr, 0);
    m.pid = -1;
    kill(worker, SIGKILL);
    waitpid(worker, nullptr, 0);
    const std::string text = read_file(record);
    ASSERT_GT(text.size(), 100u) << "the workload recorded little";
    EXPECT_EQ(text.back(), '\n') << "a line was cut";
    EXPECT_EQ(text.find("end"), std::string::npos);
    run_result r = names();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cut short"), std::string::npos) << r.err;
}

// Each refusal of the guard logs a line on the daemon's standard error in the foreground:
// the operation, the name quoted as the record quotes it, the link count, the program, and a
// hint at --copyup, or with --copyup the reason no copy could help. -o quiet silences it.
TEST_F(recorded, refusals_are_logged)
{
    const std::string odd = "new\nline\xff";
    write_file(base + "/" + odd, "odd");
    ASSERT_EQ(link((base + "/" + odd).c_str(), (work / "odd").c_str()), 0);
    // Under an emulator this program's name is the emulator's.
    const std::string self = emulated() ? "" : "record_tests[";
    const std::string hint = " uid 0; --copyup gives such a name a private copy\n";
    const struct {
        std::vector<std::string> options;
        std::function<void(const std::string &mnt)> refused;
        std::vector<std::string> lines; // parts of lines the log must have
    } cases[] = {
        {{"--xattr"},
         [](const std::string &mnt) {
             for (const char *command :
                  {"truncate -s 0 shared", "chmod 600 shared", "chown 1:1 shared",
                   "setfattr -n user.k -v v shared", "chattr +A shared"})
                 EXPECT_NE(run("/bin/sh", {"sh", "-c", "cd '" + mnt + "' && " + command}).status, 0)
                     << command;
         },
         {"wardfs: refused open for writing of \"shared\" (2 links) for truncate[",
          "wardfs: refused chmod of \"shared\" (2 links) for chmod[",
          "wardfs: refused chown of \"shared\" (2 links) for chown[",
          "wardfs: refused setxattr of \"shared\" (2 links) for setfattr[",
          // qemu-user does not pass on the FS_IOC_FSGETXATTR the kernel asks first.
          emulated() ? hint : "wardfs: refused setting flags of \"shared\" (2 links) for chattr[",
          hint}},
        {{},
         [&](const std::string &mnt) {
             EXPECT_EQ(open((mnt + "/" + odd).c_str(), O_WRONLY | O_CLOEXEC), -1);
         },
         {"wardfs: refused open for writing of \"new\\nline\\377\" (2 links) for " + self, hint}},
        // A file opened for writing that gained links, then lost its name: no copy can be
        // made for it.
        {{"--copyup"},
         [](const std::string &mnt) {
             int fd = open((mnt + "/private").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(link((mnt + "/private").c_str(), (mnt + "/a").c_str()), 0);
             ASSERT_EQ(link((mnt + "/private").c_str(), (mnt + "/b").c_str()), 0);
             ASSERT_EQ(unlink((mnt + "/private").c_str()), 0);
             EXPECT_EQ(ftruncate(fd, 0), -1);
             EXPECT_EQ(errno, EROFS);
             close(fd);
         },
         {"wardfs: refused truncate of a file whose name is gone (2 links) for " + self,
          " uid 0: the open file is no longer the one its name holds, so no copy can be made "
          "for it\n"}},
        {{"-oquiet"},
         [](const std::string &mnt) {
             EXPECT_EQ(open((mnt + "/shared").c_str(), O_WRONLY | O_CLOEXEC), -1);
         },
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.empty() ? "plain" : c.options[0]);
        wardfs_mount m(base, mnt, c.options);
        c.refused(m.mnt);
        const std::string text = m.stop_and_read_log();
        for (const auto &line : c.lines)
            EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
        if (c.lines.empty()) {
            EXPECT_EQ(text.find("refused"), std::string::npos) << text;
        }
    }
}

// A loop of refused opens logs at most 10 lines in 5 seconds, then one line that says how
// many were held back.
TEST_F(recorded, refusals_are_rate_limited)
{
    const int opens = 1000;
    wardfs_mount m(base, mnt);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < opens; i++)
        ASSERT_EQ(open((m / "shared").c_str(), O_WRONLY | O_CLOEXEC), -1);
    const bool one_window = std::chrono::steady_clock::now() - started < std::chrono::seconds(5);
    std::vector<std::string> lines;
    std::istringstream in(m.stop_and_read_log());
    for (std::string line; std::getline(in, line);)
        if (line.find("refus") != std::string::npos)
            lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    int logged = 0, held_back = 0;
    for (const auto &line : lines) {
        if (line.find("wardfs: refused open for writing") == 0)
            logged++;
        else if (int n; sscanf(line.c_str(), "wardfs: %d more refusals not logged", &n) == 1)
            held_back += n;
        else
            ADD_FAILURE() << line;
    }
    EXPECT_EQ(logged + held_back, opens);
    EXPECT_NE(lines.back().find("more refusals not logged"), std::string::npos) << lines.back();
    if (one_window) {
        EXPECT_EQ(logged, 10);
        EXPECT_LE(lines.size(), 11u);
    }
}

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
