// The record of what a mount changed and refused (--record FILE). Each line goes out with a
// single write on a descriptor opened with O_APPEND, so a daemon killed at any moment leaves
// whole lines. A line is written only once its change has reached the base.
#include "record_format.h"
#include "wardfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

int record_fd = -1;

namespace {

// Lines are written one at a time, in the order the changes were made.
std::mutex write_lock;
// Set when a line could not be written: the end marker then says the record is incomplete.
bool record_failed;
// What the last line said of which name, to leave out a line that adds nothing to it: a
// "changed" or "attributes" right after "created" of the same name (a new file's content and
// attributes are new anyway: tar, cp and install set both on every file), or the same line
// again.
// (record_kind, or -1 for none).
int last_what = -1;
std::string last_name;

// Opens whose content change is recorded already, by descriptor.
std::mutex changed_lock;
std::unordered_set<int> changed_opens;

void write_line_locked(const std::string &line)
{
    for (size_t done = 0; done < line.size();) {
        ssize_t n = write(record_fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            record_failed = true;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void write_line(const std::string &line)
{
    std::lock_guard<std::mutex> hold(write_lock);
    last_what = -1;
    write_line_locked(line);
}

// "NAME" of a FUSE path: relative to the base, "." for the base itself.
void add_name(std::string &line, const char *path)
{
    line += ' ';
    quote_name(line, to_relative_path(path));
}

// Each kind's word in the record.
const char *kind_name(record_kind what)
{
    switch (what) {
    case record_created:
        return "created";
    case record_removed:
        return "removed";
    case record_renamed:
        return "renamed";
    case record_exchanged:
        return "exchanged";
    case record_changed:
        return "changed";
    case record_attributes:
        return "attributes";
    case record_copied_up:
        return "copied-up";
    }
    return "";
}

} // namespace

void record(record_kind what, const char *path, const char *path2, const char *tail) noexcept
{
    if (record_fd < 0 || path == nullptr)
        return;
    int saved = errno;
    try {
        std::string line = kind_name(what);
        add_name(line, path);
        if (path2 != nullptr)
            add_name(line, path2);
        if (tail != nullptr)
            line.append(" ").append(tail);
        line += '\n';
        const bool detail = what == record_changed || what == record_attributes;
        std::lock_guard<std::mutex> hold(write_lock);
        if (detail && path2 == nullptr && last_name == path &&
            (last_what == record_created || last_what == what)) {
            errno = saved;
            return;
        }
        write_line_locked(line);
        last_what = path2 == nullptr ? what : -1;
        last_name = path;
    } catch (const std::bad_alloc &) {
        record_failed = true;
    }
    errno = saved;
}

void record_content(const char *path, int fd) noexcept
{
    if (record_fd < 0)
        return;
    try {
        std::lock_guard<std::mutex> hold(changed_lock);
        if (!changed_opens.insert(fd).second)
            return;
    } catch (const std::bad_alloc &) {
        // Recorded once more rather than not at all.
    }
    record(record_changed, path);
}

void record_release(int fd) noexcept
{
    if (record_fd < 0)
        return;
    std::lock_guard<std::mutex> hold(changed_lock);
    changed_opens.erase(fd);
}

void record_refusal(const char *operation, const char *path) noexcept
{
    if (record_fd < 0 || path == nullptr)
        return;
    int saved = errno;
    try {
        const requester who = current_requester();
        std::string line = "refused ";
        line += operation;
        add_name(line, path);
        line += ' ' + std::to_string(who.pid) + ' ' + std::to_string(who.uid) + ' ';
        quote_name(line, who.comm);
        line += '\n';
        write_line(line);
    } catch (const std::bad_alloc &) {
        record_failed = true;
    }
    errno = saved;
}

void record_mark(bool start) noexcept
{
    if (record_fd < 0)
        return;
    write_line(start ? "start\n" : record_failed ? "end incomplete\n" : "end\n");
}

// Whether the directory that would hold `file` is the base or lies beneath it.
static bool inside_base(const char *file)
{
    std::string parent(file);
    size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    struct stat base, at, up_st;
    int dir = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool inside = false;
    // Up from there to the root, across mounts, looking for the base.
    while (dir >= 0 && !inside && fstat(base_dir_fd, &base) == 0 && fstat(dir, &at) == 0) {
        inside = at.st_dev == base.st_dev && at.st_ino == base.st_ino;
        int up = openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        const bool root = up >= 0 && fstat(up, &up_st) == 0 && up_st.st_dev == at.st_dev &&
                          up_st.st_ino == at.st_ino;
        close(dir);
        dir = root ? (close(up), -1) : up;
    }
    if (dir >= 0)
        close(dir);
    return inside;
}

int open_record_file(const char *file) noexcept
{
    // A record inside the base would stand among the files a committing step takes, and
    // record its own writes if the mount were the way to it: refused.
    try {
        if (inside_base(file)) {
            fprintf(stderr, "wardfs: the record %s lies inside the base directory\n", file);
            return -1;
        }
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "wardfs: out of memory\n");
        return -1;
    }
    int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        fprintf(stderr, "wardfs: cannot open the record %s: %s\n", file, strerror(errno));
    return fd;
}
