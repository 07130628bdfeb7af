// The write guard: a regular file or symbolic link with more than one hard link shares its
// inode with other names, so changing it through the mount is refused with EROFS, or, with
// --copyup, the name first gets a private copy. Also the guarded chmod, chown and truncate.
#include "vaskel.h"
#include "wardfs.h"

#include <cerrno>
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

int guard_write(const char *rel_path, const struct stat *stat_or_null,
                bool *did_copyup_or_null) noexcept
{
    if (did_copyup_or_null != nullptr)
        *did_copyup_or_null = false;

    struct stat st;
    if (stat_or_null == nullptr) {
        if (fstatat(base_dir_fd, rel_path, &st, AT_SYMLINK_NOFOLLOW) == -1)
            return errno == ENOENT ? 0 : negated_errno();
        stat_or_null = &st;
    }
    if (!S_ISREG(stat_or_null->st_mode) && !S_ISLNK(stat_or_null->st_mode))
        return 0;
    if (stat_or_null->st_nlink <= 1)
        return 0;
    if (!copyup_enabled)
        return -EROFS;

    // Two threads may both get here for the same name; the library then finds a single
    // link (or a name it already replaced) and succeeds without a second copy.
    GError *error = nullptr;
    if (vaskel_break_hardlink(base_dir_fd, rel_path, FALSE, nullptr, &error)) {
        if (did_copyup_or_null != nullptr)
            *did_copyup_or_null = true;
        if (error != nullptr)
            g_error_free(error);
        return 0;
    }
    int err = error != nullptr ? copy_up_error_to_errno(error->code) : EIO;
    if (error != nullptr)
        g_error_free(error);
    return -err;
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

int op_chmod(const char *path, mode_t mode) noexcept
{
    const char *rel = to_relative_path(path);
    if (int res = guard_write(rel, nullptr, nullptr); res != 0)
        return res;
    if (fchmodat(base_dir_fd, rel, mode, 0) == -1)
        return negated_errno();
    return 0;
}

int op_chown(const char *path, uid_t uid, gid_t gid) noexcept
{
    const char *rel = to_relative_path(path);
    if (int res = guard_write(rel, nullptr, nullptr); res != 0)
        return res;
    if (fchownat(base_dir_fd, rel, uid, gid, AT_SYMLINK_NOFOLLOW) == -1)
        return negated_errno();
    return 0;
}

int op_truncate(const char *path, off_t size) noexcept
{
    const char *rel = to_relative_path(path);
    if (int res = guard_write(rel, nullptr, nullptr); res != 0)
        return res;
    int fd = openat(base_dir_fd, rel, O_WRONLY | O_NOFOLLOW);
    if (fd == -1)
        return negated_errno();
    int res = ftruncate(fd, size) == -1 ? negated_errno() : 0;
    dakt_close_fd(fd);
    return res;
}
