// The one way into the base: every handler names an entry by the directory that holds it
// and its last name, and that directory is reached beneath the base without following any
// symbolic link. The kernel follows links itself and never asks the daemon to, so a link
// met on the way means the base changed beside the mount since the kernel looked: that is
// answered with ESTALE, and nothing outside the base is ever reached.
#include "wardfs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

std::atomic<bool> openat2_missing{false};

int stale_if_link(int err) noexcept
{
    return err == ELOOP ? ESTALE : err;
}

// Without openat2: one O_NOFOLLOW open per component. O_PATH | O_NOFOLLOW opens a link
// itself, and O_DIRECTORY then refuses it with ENOTDIR, so a refusal is looked at again to
// tell a link (ESTALE) from a file (ENOTDIR).
static int walk_beneath(const char *rel)
{
    unique_fd dir;
    int at = base_dir_fd;
    const char *p = rel;
    while (*p != '\0') {
        size_t len = strcspn(p, "/");
        std::string component(p, len);
        p += len + strspn(p + len, "/");
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            errno = EACCES;
            return -1;
        }
        int fd = openat(at, component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd == -1) {
            struct stat st;
            if (errno == ENOTDIR && fstatat(at, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                errno = ESTALE;
            return -1;
        }
        dir.reset(fd);
        at = fd;
    }
    return dir ? dir.release() : openat(base_dir_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int open_dir_beneath(const char *rel) noexcept
{
    if (!openat2_missing.load(std::memory_order_relaxed)) {
        struct open_how how = {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, base_dir_fd, rel, &how, sizeof how);
        if (fd >= 0)
            return static_cast<int>(fd);
        if (errno != ENOSYS) {
            // EXDEV: ".." would lead out of the base; FUSE never sends one.
            errno = errno == EXDEV ? EACCES : stale_if_link(errno);
            return -1;
        }
        openat2_missing.store(true, std::memory_order_relaxed);
    }
    return walk_beneath(rel);
}

void base_entry::release_dir() noexcept
{
    // Closed at once: a descriptor kept past its request would keep its directory busy (a
    // file system mounted below it could not be unmounted).
    if (owned >= 0) {
        int saved = errno;
        close(owned);
        errno = saved;
    }
    owned = -1;
}

int resolve_entry(const char *path, base_entry &entry) noexcept
{
    // libfuse hands an open file's request no path once its name is gone; by name such a
    // request fails as it would on the base.
    entry.release_dir();
    if (path == nullptr)
        return -ENOENT;
    const char *rel = to_relative_path(path);
    const char *slash = strrchr(rel, '/');
    entry.path = path;
    if (slash == nullptr) {
        entry.dir = base_dir_fd;
        entry.name = rel;
        return 0;
    }
    entry.name = slash + 1;
    if (*entry.name == '\0')
        entry.name = ".";
    try {
        entry.owned = open_dir_beneath(std::string(rel, slash).c_str());
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    if (entry.owned < 0)
        return negated_errno();
    entry.dir = entry.owned;
    return 0;
}

or_errno<request> request::start(const char *path, identity how) noexcept
{
    auto who = caller::take(how);
    if (!who)
        return or_errno<request>::failure(who.error());
    request req{std::move(*who), {}};
    if (int res = resolve_entry(path, req.entry); res != 0)
        return or_errno<request>::failure(res);
    return req;
}

int open_entry(const base_entry &entry, int flags, mode_t mode) noexcept
{
    int fd = openat(entry.dir, entry.name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    // O_NOFOLLOW refuses a final link with ELOOP, or with ENOTDIR when O_DIRECTORY asked
    // for a directory.
    struct stat st;
    if (fd == -1 && errno == ENOTDIR &&
        fstatat(entry.dir, entry.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        errno = ESTALE;
    else if (fd == -1)
        errno = stale_if_link(errno);
    return fd;
}
