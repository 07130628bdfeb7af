// What a refusal of the guard tells the user: "Read-only file system" alone says nothing of
// why, on a mount where everything else is writable. Each refusal goes into the record (with
// --record) and into the log: one line naming the operation, the name, its link count and the
// program, on standard error in the foreground and through syslog once detached, at most
// `lines_per_window` lines a window so that a loop of refused writes floods nothing.
#include "record_format.h"
#include "wardfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string>
#include <syslog.h>
#include <unistd.h>

int refusals_quiet = 0;
bool log_to_stderr = true;

namespace {

constexpr int lines_per_window = 10;
constexpr time_t window_seconds = 5;

std::mutex log_lock;
struct timespec window_start;
int lines_in_window;
long held_back; // refusals of the window not logged

// The line's own words for each operation of the record.
const char *described(const char *operation)
{
    if (strcmp(operation, "open") == 0)
        return "open for writing";
    if (strcmp(operation, "flags") == 0)
        return "setting flags";
    return operation;
}

void emit(const std::string &text)
{
    if (log_to_stderr) {
        // One write, so lines of several threads never interleave.
        const std::string line = "wardfs: " + text + "\n";
        ssize_t n = write(STDERR_FILENO, line.data(), line.size());
        (void)n;
    } else {
        syslog(LOG_NOTICE, "%s", text.c_str());
    }
}

void say_held_back_locked()
{
    if (held_back == 0)
        return;
    emit(std::to_string(held_back) + " more refusals not logged (at most " +
         std::to_string(lines_per_window) + " lines in " + std::to_string(window_seconds) +
         " seconds)");
    held_back = 0;
}

} // namespace

requester current_requester() noexcept
{
    requester who;
    const struct fuse_context *ctx = serving_requests ? fuse_get_context() : nullptr;
    who.pid = ctx != nullptr ? ctx->pid : 0;
    who.uid = ctx != nullptr ? static_cast<long>(ctx->uid) : -1;
    // The program's name, as the kernel keeps it (15 bytes at most).
    char name[64];
    snprintf(name, sizeof name, "/proc/%ld/comm", who.pid);
    int fd = who.pid > 0 ? open(name, O_RDONLY | O_CLOEXEC) : -1;
    if (fd >= 0) {
        ssize_t n = read(fd, who.comm, sizeof who.comm - 1);
        who.comm[n > 0 ? n : 0] = '\0';
        who.comm[strcspn(who.comm, "\n")] = '\0';
        close(fd);
    }
    return who;
}

void log_refusal(const char *operation, const char *name, nlink_t links,
                 const char *reason) noexcept
{
    if (refusals_quiet)
        return;
    int saved = errno;
    try {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::lock_guard<std::mutex> hold(log_lock);
        if (lines_in_window == 0 || now.tv_sec - window_start.tv_sec >= window_seconds) {
            say_held_back_locked();
            window_start = now;
            lines_in_window = 0;
        }
        if (lines_in_window >= lines_per_window) {
            held_back++;
            errno = saved;
            return;
        }
        lines_in_window++;
        const requester who = current_requester();
        std::string text = "refused ";
        text += described(operation);
        if (name != nullptr) {
            text += " of ";
            quote_name(text, name);
        } else {
            text += " of a file whose name is gone";
        }
        text += " (" + std::to_string(links) + " links) for ";
        // The program's name as the kernel keeps it; a byte that could break the line
        // shows as '?'.
        for (const char *c = who.comm; *c != '\0'; c++)
            text += *c >= 0x20 && *c < 0x7f ? *c : '?';
        text += "[" + std::to_string(who.pid) + "] uid " + std::to_string(who.uid);
        if (reason != nullptr)
            text += std::string(": ") + reason;
        else
            text += "; --copyup gives such a name a private copy";
        emit(text);
    } catch (const std::bad_alloc &) {
        // Nothing to say it with.
    }
    errno = saved;
}

void log_refusals_end() noexcept
{
    try {
        std::lock_guard<std::mutex> hold(log_lock);
        say_held_back_locked();
    } catch (const std::bad_alloc &) {
    }
}
