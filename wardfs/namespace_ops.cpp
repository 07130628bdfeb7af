// Path mapping and the handlers that work on names: attributes, listing, creation, removal,
// renaming, links, access, statistics, time stamps and extended attributes. Only setting and
// removing an extended attribute consults the write guard.
#include "unique_fd.h"
#include "wardfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

const char *to_relative_path(const char *path) noexcept
{
    const char *rel = path + strspn(path, "/");
    return *rel == '\0' ? "." : rel;
}

int negated_errno() noexcept
{
    return -errno;
}

int op_getattr(const char *path, struct stat *stbuf) noexcept
{
    if (fstatat(base_dir_fd, to_relative_path(path), stbuf, AT_SYMLINK_NOFOLLOW) == -1)
        return negated_errno();
    return 0;
}

int op_readlink(const char *path, char *buf, size_t size) noexcept
{
    // size - 1 would wrap around to a huge length.
    if (size == 0)
        return -EINVAL;
    ssize_t n = readlinkat(base_dir_fd, to_relative_path(path), buf, size - 1);
    if (n == -1)
        return negated_errno();
    buf[n] = '\0';
    return 0;
}

int op_mknod(const char *, mode_t, dev_t) noexcept
{
    return -EROFS;
}

int op_mkdir(const char *path, mode_t mode) noexcept
{
    caller_scope as_caller;
    if (int res = as_caller.enter(); res != 0)
        return res;
    if (mkdirat(base_dir_fd, to_relative_path(path), mode) == -1)
        return negated_errno();
    return 0;
}

int op_unlink(const char *path) noexcept
{
    if (unlinkat(base_dir_fd, to_relative_path(path), 0) == -1)
        return negated_errno();
    return 0;
}

int op_rmdir(const char *path) noexcept
{
    if (unlinkat(base_dir_fd, to_relative_path(path), AT_REMOVEDIR) == -1)
        return negated_errno();
    return 0;
}

int op_symlink(const char *target, const char *linkpath) noexcept
{
    const char *rel = to_relative_path(linkpath);
    {
        caller_scope as_caller;
        if (int res = as_caller.enter(); res != 0)
            return res;
        if (symlinkat(target, base_dir_fd, rel) == -1)
            return negated_errno();
    }

    // The link may vanish at once if someone removes it in the base directory; that is the
    // caller's failure, not a reason to take the whole file system down.
    struct stat st;
    if (fstatat(base_dir_fd, rel, &st, AT_SYMLINK_NOFOLLOW) == -1) {
        int err = errno;
        fprintf(stderr, "Failed to find newly created symlink '%s': %s\n", rel, g_strerror(err));
        return -err;
    }
    return 0;
}

int op_rename(const char *from, const char *to) noexcept
{
    return rename_entry(from, to, 0);
}

int rename_entry(const char *from, const char *to, unsigned int flags) noexcept
{
    // RENAME_NOREPLACE and RENAME_EXCHANGE reach the base as the caller gave them.
    if (renameat2(base_dir_fd, to_relative_path(from), base_dir_fd, to_relative_path(to), flags) ==
        -1)
        return negated_errno();
    return 0;
}

int op_link(const char *from, const char *to) noexcept
{
    if (linkat(base_dir_fd, to_relative_path(from), base_dir_fd, to_relative_path(to), 0) == -1)
        return negated_errno();
    return 0;
}

int op_statfs(const char *, struct statvfs *buf) noexcept
{
    if (fstatvfs(base_dir_fd, buf) == -1)
        return negated_errno();
    return 0;
}

// Without --xattr every attribute call answers ENOSYS: the kernel then tells the caller
// EOPNOTSUPP and stops asking. With EOPNOTSUPP it would go on asking for
// security.capability before every single write, a round trip each.
//
// Extended attributes work on the entry itself, a final symbolic link included, as chown
// does. There is no "at" form of the attribute calls, so the entry is opened with O_PATH
// relative to the base (which opens nothing for reading or writing, and so has no effect on
// devices or FIFOs) and named through /proc; that name leads to the entry, not beyond it.
struct xattr_entry {
    unique_fd fd;
    char name[32] = {};
};

static int open_xattr_entry(const char *rel, xattr_entry &entry)
{
    entry.fd.reset(openat(base_dir_fd, rel, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!entry.fd)
        return negated_errno();
    snprintf(entry.name, sizeof entry.name, "/proc/self/fd/%d", entry.fd.get());
    return 0;
}

// Setting or removing an attribute changes the inode, so a shared one is guarded like chown.
template <typename Change> static int change_xattr(const char *path, Change change)
{
    if (!xattr_enabled)
        return -ENOSYS;
    const char *rel = to_relative_path(path);
    if (int res = guard_write(rel, nullptr, nullptr); res != 0)
        return res;
    xattr_entry entry;
    if (int res = open_xattr_entry(rel, entry); res != 0)
        return res;
    if (change(entry.name) == -1)
        return negated_errno();
    return 0;
}

int op_setxattr(const char *path, const char *name, const char *value, size_t size,
                int flags) noexcept
{
    return change_xattr(
        path, [&](const char *entry) { return setxattr(entry, name, value, size, flags); });
}

int op_removexattr(const char *path, const char *name) noexcept
{
    return change_xattr(path, [&](const char *entry) { return removexattr(entry, name); });
}

// Reading changes nothing, so shared entries are read like any other. A size of 0 asks for
// the size; a buffer too small gives ERANGE, as the kernel's protocol has it.
int op_getxattr(const char *path, const char *name, char *value, size_t size) noexcept
{
    if (!xattr_enabled)
        return -ENOSYS;
    xattr_entry entry;
    if (int res = open_xattr_entry(to_relative_path(path), entry); res != 0)
        return res;
    ssize_t n = getxattr(entry.name, name, value, size);
    return n == -1 ? negated_errno() : static_cast<int>(n);
}

int op_listxattr(const char *path, char *list, size_t size) noexcept
{
    if (!xattr_enabled)
        return -ENOSYS;
    xattr_entry entry;
    if (int res = open_xattr_entry(to_relative_path(path), entry); res != 0)
        return res;
    ssize_t n = listxattr(entry.name, list, size);
    return n == -1 ? negated_errno() : static_cast<int>(n);
}

int op_readdir(const char *path, void *buf, entry_filler filler, off_t,
               struct fuse_file_info *) noexcept
{
    int fd = openat(base_dir_fd, to_relative_path(path),
                    O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd == -1)
        return negated_errno();
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        int res = negated_errno();
        dakt_close_fd(fd);
        return res;
    }

    // The whole directory goes out in one call, every entry with offset 0.
    int res = 0;
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (entry == nullptr) {
            // A read error must not pass for the end of the directory.
            if (errno != 0)
                res = negated_errno();
            break;
        }
        struct stat st = {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        if (filler(buf, entry->d_name, &st, 0) != 0)
            break;
    }
    closedir(dir);
    return res;
}

int op_access(const char *path, int mask) noexcept
{
    if (faccessat(base_dir_fd, to_relative_path(path), mask, AT_SYMLINK_NOFOLLOW) == -1)
        return negated_errno();
    return 0;
}

int op_utimens(const char *path, const struct timespec ts[2]) noexcept
{
    if (utimensat(base_dir_fd, to_relative_path(path), ts, AT_SYMLINK_NOFOLLOW) == -1)
        return negated_errno();
    return 0;
}

void set_shared_operations(struct fuse_operations *ops) noexcept
{
    ops->readlink = op_readlink;
    ops->mknod = op_mknod;
    ops->mkdir = op_mkdir;
    ops->unlink = op_unlink;
    ops->rmdir = op_rmdir;
    ops->symlink = op_symlink;
    ops->link = op_link;
    ops->read = op_read;
    ops->write = op_write;
    ops->statfs = op_statfs;
    ops->release = op_release;
    ops->fsync = op_fsync;
    ops->setxattr = op_setxattr;
    ops->getxattr = op_getxattr;
    ops->listxattr = op_listxattr;
    ops->removexattr = op_removexattr;
    ops->access = op_access;
    ops->write_buf = op_write_buf;
    ops->read_buf = op_read_buf;
    ops->fallocate = op_fallocate;
}
