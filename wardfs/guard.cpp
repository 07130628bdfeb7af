// The write guard: a regular file or symbolic link with more than one hard link shares its
// inode with other names, so changing it through the mount is refused with EROFS, or, with
// --copyup, the name first gets a private copy. Also the guarded chmod, chown and truncate.
#include "vaskel.h"
#include "wardfs.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

int copy_up_error_to_errno(int code) noexcept
{
    // GIOErrorEnum codes; the error domain is not looked at.
    switch (code) {
    case 1: // G_IO_ERROR_NOT_FOUND
        return ENOENT;
    case 3: // G_IO_ERROR_IS_DIRECTORY
        return EISDIR;
    case 12: // G_IO_ERROR_NO_SPACE
        return ENOSPC;
    case 14: // G_IO_ERROR_PERMISSION_DENIED
        return EPERM;
    default:
        return EIO;
    }
}

// Whether the caller may make the change to the inode `fd` refers to, as the base would
// decide: writing needs write permission (ACLs, immutable flags and LSMs included), an
// attribute change the owner or a caller with the daemon's own rights.
static int caller_may_change(int fd, const struct stat &st, change_kind kind,
                             const caller_scope *as_caller)
{
    if (kind == change_content)
        return faccessat(fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == -1 ? negated_errno() : 0;
    if (as_caller != nullptr && as_caller->active && as_caller->uid != st.st_uid)
        return -EPERM;
    return 0;
}

static int break_hardlink(const base_entry &entry)
{
    GError *error = nullptr;
    if (vaskel_break_hardlink(entry.dir, entry.name, FALSE, nullptr, &error)) {
        if (error != nullptr)
            g_error_free(error);
        return 0;
    }
    int err = error != nullptr ? copy_up_error_to_errno(error->code) : EIO;
    if (error != nullptr)
        g_error_free(error);
    return -err;
}

int guard_entry(const base_entry &entry, const struct stat *stat_or_null, bool *did_copyup_or_null,
                change_kind kind, caller_scope *as_caller) noexcept
{
    if (did_copyup_or_null != nullptr)
        *did_copyup_or_null = false;

    struct stat st;
    if (stat_or_null == nullptr) {
        if (fstatat(entry.dir, entry.name, &st, AT_SYMLINK_NOFOLLOW) == -1)
            return errno == ENOENT ? 0 : negated_errno();
        stat_or_null = &st;
    }
    if (!S_ISREG(stat_or_null->st_mode) && !S_ISLNK(stat_or_null->st_mode))
        return 0;
    if (stat_or_null->st_nlink <= 1)
        return 0;
    if (!copyup_enabled)
        return -EROFS;

    // The caller's right to the change is checked on the inode the name holds now, with the
    // caller's identity; the copy is made with the daemon's, and only while the name still
    // holds that inode. (Between that last look and the copy the name can change once more;
    // only someone allowed to replace the name can do that, and the copy keeps the content,
    // owner and mode of whatever it then holds.)
    unique_fd checked;
    struct stat seen;
    if (int res = open_entry_inode(entry, checked, seen); res != 0)
        return res;
    if (seen.st_dev != stat_or_null->st_dev || seen.st_ino != stat_or_null->st_ino)
        return -ESTALE;
    if (!S_ISLNK(seen.st_mode))
        if (int res = caller_may_change(checked.get(), seen, kind, as_caller); res != 0)
            return res;

    auto copy_up = [&] {
        struct stat now;
        if (fstatat(entry.dir, entry.name, &now, AT_SYMLINK_NOFOLLOW) == -1)
            return negated_errno();
        if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino)
            return -ESTALE;
        // Two threads may both get here for the same name; the library then finds a single
        // link (or a name it already replaced) and succeeds without a second copy.
        return break_hardlink(entry);
    };
    int res = as_caller != nullptr ? as_caller->with_daemon_rights(copy_up) : copy_up();
    if (res == 0 && did_copyup_or_null != nullptr)
        *did_copyup_or_null = true;
    return res;
}

int guard_write(const char *rel_path, const struct stat *stat_or_null,
                bool *did_copyup_or_null) noexcept
{
    base_entry entry;
    if (int res = resolve_entry(rel_path, entry); res != 0)
        return res == -ENOENT ? 0 : res;
    return guard_entry(entry, stat_or_null, did_copyup_or_null);
}

void dakt_close_fd(int fd) noexcept
{
    if (fd < 0)
        return;
    int saved = errno;
    if (close(fd) == -1 && errno == EBADF)
        g_assertion_message_expr("Vaskel", "dakt-local-alloc.h", 73, "dakt_close_fd",
                                 "errno != EBADF");
    errno = saved;
}

// Whether `mode` only takes set-user-ID or set-group-ID bits away (one or both). The kernel
// asks for that before a write or preallocation by another user (the daemon writes as root,
// so the kernel clears the bits itself) and any writer may have it done, as on the base,
// where writing clears them.
static bool clears_set_id_only(const struct stat &st, mode_t mode)
{
    const mode_t set_id = S_ISUID | S_ISGID, had = st.st_mode & 07777, wants = mode & 07777;
    return (wants & ~set_id) == (had & ~set_id) && (wants & set_id & ~had) == 0 && wants != had;
}

static int set_mode(int fd, const struct stat &st, mode_t mode, caller_scope &as_caller)
{
    char name[32];
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    if (chmod(name, mode) == 0)
        return 0;
    if (errno != EPERM || !as_caller.active || !clears_set_id_only(st, mode) ||
        faccessat(fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == -1)
        return negated_errno();
    return as_caller.with_daemon_rights(
        [&] { return chmod(name, mode) == -1 ? negated_errno() : 0; });
}

// chmod works on the entry itself: Linux cannot change a symbolic link's mode, and says so
// with EOPNOTSUPP. An O_PATH descriptor names the inode through /proc for chmod, which has
// no form that keeps to a final link.
static int chmod_entry(const base_entry &entry, mode_t mode, caller_scope &as_caller)
{
    unique_fd fd;
    struct stat st;
    if (int res = open_entry_inode(entry, fd, st); res != 0)
        return res;
    if (S_ISLNK(st.st_mode))
        return -EOPNOTSUPP;
    return set_mode(fd.get(), st, mode, as_caller);
}

int op_chmod(const char *path, mode_t mode) noexcept
{
    caller_scope as_caller;
    base_entry entry;
    if (int res = resolve_as_caller(path, as_caller, entry); res != 0)
        return res;
    if (int res = guard_entry(entry, nullptr, nullptr, change_attributes, &as_caller); res != 0)
        return res;
    return chmod_entry(entry, mode, as_caller);
}

int op_chown(const char *path, uid_t uid, gid_t gid) noexcept
{
    caller_scope as_caller;
    base_entry entry;
    if (int res = resolve_as_caller(path, as_caller, entry); res != 0)
        return res;
    if (int res = guard_entry(entry, nullptr, nullptr, change_attributes, &as_caller); res != 0)
        return res;
    if (fchownat(entry.dir, entry.name, uid, gid, AT_SYMLINK_NOFOLLOW) == -1)
        return negated_errno();
    return 0;
}

int op_truncate(const char *path, off_t size) noexcept
{
    caller_scope as_caller;
    base_entry entry;
    if (int res = resolve_as_caller(path, as_caller, entry); res != 0)
        return res;
    if (int res = guard_entry(entry, nullptr, nullptr, change_content, &as_caller); res != 0)
        return res;
    // O_NONBLOCK: a FIFO put in the file's place must not hold a daemon thread.
    unique_fd fd(open_entry(entry, O_WRONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        return negated_errno();
    return ftruncate(fd.get(), size) == -1 ? negated_errno() : 0;
}

// libfuse 3 names the open file a change is made through. A file that is not shared is
// changed through its descriptor, whatever its name holds now. A shared one goes the way of
// its name (guard, copy-up), but only while the name still holds the open inode.
template <typename ByFd, typename ByName>
static int change_open_file(const char *path, struct fuse_file_info *fi, ByFd by_fd, ByName by_name)
{
    if (fi == nullptr)
        return by_name();
    struct stat st;
    int fd = static_cast<int>(fi->fh);
    if (fstat(fd, &st) == -1)
        return negated_errno();
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
        base_entry entry;
        struct stat named;
        if (resolve_entry(path, entry) != 0 ||
            fstatat(entry.dir, entry.name, &named, AT_SYMLINK_NOFOLLOW) == -1 ||
            named.st_dev != st.st_dev || named.st_ino != st.st_ino)
            return -EROFS;
        return by_name();
    }
    caller_scope as_caller;
    if (int res = as_caller.enter(); res != 0)
        return res;
    return by_fd(fd, as_caller);
}

int chmod_file(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept
{
    return change_open_file(
        path, fi,
        [&](int fd, caller_scope &as_caller) {
            struct stat st;
            if (fstat(fd, &st) == -1)
                return negated_errno();
            return set_mode(fd, st, mode, as_caller);
        },
        [&] { return op_chmod(path, mode); });
}

int chown_file(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) noexcept
{
    return change_open_file(
        path, fi,
        [&](int fd, caller_scope &) { return fchown(fd, uid, gid) == -1 ? negated_errno() : 0; },
        [&] { return op_chown(path, uid, gid); });
}

int truncate_file(const char *path, off_t size, struct fuse_file_info *fi) noexcept
{
    return change_open_file(
        path, fi,
        [&](int fd, caller_scope &) { return ftruncate(fd, size) == -1 ? negated_errno() : 0; },
        [&] { return op_truncate(path, size); });
}

int utimens_file(const char *path, const struct timespec ts[2], struct fuse_file_info *fi) noexcept
{
    // Time stamps are not guarded: a shared file's go through its descriptor as well.
    if (fi == nullptr)
        return op_utimens(path, ts);
    caller_scope as_caller;
    if (int res = as_caller.enter(); res != 0)
        return res;
    return futimens(static_cast<int>(fi->fh), ts) == -1 ? negated_errno() : 0;
}
