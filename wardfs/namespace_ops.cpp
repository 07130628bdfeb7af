// Path mapping and the handlers that work on names: attributes, listing, creation, removal,
// renaming, links, access, statistics, time stamps and extended attributes. Only setting and
// removing an extended attribute consults the write guard. Every entry is reached through
// resolve_entry, and every change is made as the caller.
#include "file_handle.h"
#include "unique_fd.h"
#include "wardfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <new>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <memory>
#include <sys/syscall.h>
#include <unistd.h>

// The kernel's getdents64 record.
struct directory_record {
    uint64_t ino;
    int64_t next;
    unsigned short length;
    unsigned char type;
    char name[];
};

int getattr_file(const char *path, struct stat *stbuf, struct fuse_file_info *fi) noexcept
{
    // An open file answers for itself once its name has gone. While the name holds another
    // inode (a copy-up, or a change beside the mount), the name answers: the kernel keeps one
    // inode per name and takes these attributes for every open of it, so the old file's size
    // and times would cut short what a new open of the name reads.
    if (fi == nullptr)
        return op_getattr(path, stbuf);
    if (fstat(file_descriptor(fi), stbuf) == -1)
        return negated_errno();
    struct stat named;
    if (path != nullptr && op_getattr(path, &named) == 0 &&
        (named.st_dev != stbuf->st_dev || named.st_ino != stbuf->st_ino))
        *stbuf = named;
    return 0;
}

// statx of the entry itself, a final symbolic link included; 0 or a negated errno.
static int statx_entry(const char *path, int sync, unsigned int mask, struct statx &stx)
{
    base_entry entry;
    if (int res = resolve_entry(path, entry); res != 0)
        return res;
    if (statx(entry.dir, entry.name, AT_SYMLINK_NOFOLLOW | sync, mask, &stx) == -1)
        return negated_errno();
    return 0;
}

int op_statx(const char *path, int flags, int mask, struct statx *stx,
             struct fuse_file_info *fi) noexcept
{
    // Only the caller's choice of synchronisation is passed on; libfuse adds AT_EMPTY_PATH for
    // a file without a name.
    const int sync = flags & AT_STATX_SYNC_TYPE;
    const auto want = static_cast<unsigned int>(mask);
    if (fi == nullptr)
        return statx_entry(path, sync, want, *stx);
    // An open file answers as in getattr_file: itself, or the name while it holds another
    // inode.
    if (statx(file_descriptor(fi), "", AT_EMPTY_PATH | sync, want, stx) == -1)
        return negated_errno();
    struct statx named;
    if (path != nullptr && statx_entry(path, sync, want, named) == 0 &&
        (named.stx_ino != stx->stx_ino || named.stx_dev_major != stx->stx_dev_major ||
         named.stx_dev_minor != stx->stx_dev_minor))
        *stx = named;
    return 0;
}

int op_getattr(const char *path, struct stat *stbuf) noexcept
{
    base_entry entry;
    if (int res = resolve_entry(path, entry); res != 0)
        return res;
    if (fstatat(entry.dir, entry.name, stbuf, AT_SYMLINK_NOFOLLOW) == -1)
        return negated_errno();
    return 0;
}

int op_readlink(const char *path, char *buf, size_t size) noexcept
{
    // size - 1 would wrap around to a huge length.
    if (size == 0)
        return -EINVAL;
    base_entry entry;
    if (int res = resolve_entry(path, entry); res != 0)
        return res;
    ssize_t n = readlinkat(entry.dir, entry.name, buf, size - 1);
    if (n == -1)
        return negated_errno();
    buf[n] = '\0';
    return 0;
}

int op_mknod(const char *, mode_t, dev_t) noexcept
{
    return -EROFS;
}

// Makes `call` (-1 with errno set on failure) on the entry `path` names, as the caller; 0 or
// a negated errno.
template <typename Call> static int on_entry(const char *path, Call call)
{
    auto req = request::start(path);
    if (!req)
        return req.error();
    return call(req->entry) == -1 ? negated_errno() : 0;
}

int op_mkdir(const char *path, mode_t mode) noexcept
{
    int res = on_entry(path, [&](const base_entry &e) { return mkdirat(e.dir, e.name, mode); });
    if (res == 0)
        record(record_created, path);
    return res;
}

static int remove_entry(const char *path, int flags)
{
    int res = on_entry(path, [&](const base_entry &e) { return unlinkat(e.dir, e.name, flags); });
    if (res == 0)
        record(record_removed, path);
    return res;
}

int op_unlink(const char *path) noexcept
{
    return remove_entry(path, 0);
}

int op_rmdir(const char *path) noexcept
{
    return remove_entry(path, AT_REMOVEDIR);
}

int op_symlink(const char *target, const char *linkpath) noexcept
{
    auto req = request::start(linkpath);
    if (!req)
        return req.error();
    const base_entry &entry = req->entry;
    const char *rel = to_relative_path(linkpath);
    if (symlinkat(target, entry.dir, entry.name) == -1)
        return negated_errno();

    // The link may vanish at once if someone removes it in the base directory; that is the
    // caller's failure, not a reason to take the whole file system down.
    struct stat st;
    if (fstatat(entry.dir, entry.name, &st, AT_SYMLINK_NOFOLLOW) == -1) {
        int err = errno;
        fprintf(stderr, "Failed to find newly created symlink '%s': %s\n", rel, g_strerror(err));
        return -err;
    }
    record(record_created, linkpath);
    return 0;
}

int op_rename(const char *from, const char *to) noexcept
{
    return rename_entry(from, to, 0);
}

// rename and link: both names resolved with the caller's rights, the change made as it.
template <typename Change>
static int change_two_entries(const char *from, const char *to, Change change)
{
    auto req = request::start(from);
    if (!req)
        return req.error();
    base_entry &old_entry = req->entry;
    base_entry new_entry;
    if (to == nullptr)
        return -ENOENT;
    // Both names in one directory (the common case) share its descriptor.
    const char *from_rel = to_relative_path(from), *to_rel = to_relative_path(to);
    size_t dir_length = static_cast<size_t>(old_entry.name - from_rel);
    if (dir_length > 0 && strncmp(from_rel, to_rel, dir_length) == 0 &&
        strchr(to_rel + dir_length, '/') == nullptr) {
        new_entry.dir = old_entry.dir;
        new_entry.name = to_rel + dir_length;
    } else if (int res = resolve_entry(to, new_entry); res != 0) {
        return res;
    }
    if (change(old_entry, new_entry) == -1)
        return negated_errno();
    return 0;
}

int rename_entry(const char *from, const char *to, unsigned int flags) noexcept
{
    // RENAME_NOREPLACE and RENAME_EXCHANGE reach the base as the caller gave them. The record
    // tells a rename over an entry from one to a free name: with a record, a plain rename is
    // first tried as one that replaces nothing, and made over the entry only where there is
    // one, so the word comes from the rename itself and not from a look at the name before.
    bool replacing = false;
    int res = change_two_entries(from, to, [&](const base_entry &a, const base_entry &b) {
        if (record_fd < 0 || flags != 0)
            return renameat2(a.dir, a.name, b.dir, b.name, flags);
        if (renameat2(a.dir, a.name, b.dir, b.name, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EEXIST && errno != EINVAL) // EINVAL: a base without RENAME_NOREPLACE
            return -1;
        replacing = errno == EEXIST;
        return renameat(a.dir, a.name, b.dir, b.name);
    });
    if (res == 0)
        record((flags & RENAME_EXCHANGE) != 0 ? record_exchanged : record_renamed, from, to,
               replacing ? "replacing" : nullptr);
    return res;
}

int op_link(const char *from, const char *to) noexcept
{
    // No AT_SYMLINK_FOLLOW: a link to a symbolic link is a link to the link itself.
    int res = change_two_entries(from, to, [](const base_entry &a, const base_entry &b) {
        return linkat(a.dir, a.name, b.dir, b.name, 0);
    });
    if (res == 0)
        record(record_created, to);
    return res;
}

int op_statfs(const char *, struct statvfs *buf) noexcept
{
    if (fstatvfs(base_dir_fd, buf) == -1)
        return negated_errno();
    return 0;
}

// Extended attributes work on the entry itself, a final symbolic link included, as chown
// does. There is no "at" form of the attribute calls, so the entry is opened with O_PATH
// relative to the base (which opens nothing for reading or writing, and so has no effect on
// devices or FIFOs) and named through /proc; that name leads to the entry, not beyond it.
// Without --xattr every attribute call answers ENOSYS (see op_setxattr).
// Reading changes nothing, so shared entries are read like any other, with the caller's
// rights: a name the kernel still holds for another user's file reads nothing it could not
// read on the base. A size of 0 asks for the size; a buffer too small gives ERANGE, as the
// kernel's protocol has it.
template <typename Read> static int read_attribute(const char *path, Read read)
{
    if (!xattr_enabled)
        return -ENOSYS;
    auto req = request::start(path);
    if (!req)
        return req.error();
    unique_fd fd(open_entry(req->entry, O_PATH));
    if (!fd)
        return negated_errno();
    ssize_t n = read(fd_path(fd.get()).c_str());
    return n == -1 ? negated_errno() : static_cast<int>(n);
}

int op_getxattr(const char *path, const char *name, char *value, size_t size) noexcept
{
    return read_attribute(path, [&](const char *at) { return getxattr(at, name, value, size); });
}

int op_listxattr(const char *path, char *list, size_t size) noexcept
{
    return read_attribute(path, [&](const char *at) { return listxattr(at, list, size); });
}

// Opens the directory as the caller, never through a final link; 0 or a negated errno.
static int open_directory_at(const char *path, open_directory &d)
{
    auto req = request::start(path);
    if (!req)
        return req.error();
    d.fd.reset(open_entry(req->entry, O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_NOCTTY));
    return d.fd ? 0 : negated_errno();
}

int op_opendir(const char *path, struct fuse_file_info *fi) noexcept
{
    auto *d = new (std::nothrow) open_directory;
    if (d == nullptr)
        return -ENOMEM;
    if (int res = open_directory_at(path, *d); res != 0) {
        delete d;
        return res;
    }
    set_directory_handle(fi, d);
    return 0;
}

int op_releasedir(const char *, struct fuse_file_info *fi) noexcept
{
    delete directory_of(fi);
    return 0;
}

// Hands out entries from `offset` on, each with the base's own offset of the entry after it,
// so a reader can seek back to any place it was told (telldir, lseek on getdents), even in
// a later open of the directory.
static int list_entries(open_directory &d, void *buf, entry_filler filler, off_t offset)
{
    if (offset != d.offset) {
        if (lseek(d.fd.get(), offset, SEEK_SET) == -1)
            return negated_errno();
        d.at = d.end = 0;
        d.offset = offset;
    }
    for (;;) {
        if (d.at >= d.end) {
            long n = syscall(SYS_getdents64, d.fd.get(), d.records, sizeof d.records);
            // A read error must not pass for the end of the directory.
            if (n <= 0)
                return n == 0 ? 0 : negated_errno();
            d.at = 0;
            d.end = static_cast<size_t>(n);
        }
        const auto *record = reinterpret_cast<const directory_record *>(d.records + d.at);
        struct stat st = {};
        st.st_ino = static_cast<ino_t>(record->ino);
        st.st_mode = static_cast<mode_t>(record->type) << 12;
        const off_t next = static_cast<off_t>(record->next);
        if (filler(buf, record->name, &st, next) != 0)
            return 0;
        d.at += record->length;
        d.offset = next;
    }
}

int op_readdir(const char *path, void *buf, entry_filler filler, off_t offset,
               struct fuse_file_info *fi) noexcept
{
    if (open_directory *d = directory_of(fi); d != nullptr)
        return list_entries(*d, buf, filler, offset);
    // Called without an open directory: one of its own for this call.
    auto d = std::unique_ptr<open_directory>(new (std::nothrow) open_directory);
    if (!d)
        return -ENOMEM;
    if (int res = open_directory_at(path, *d); res != 0)
        return res;
    return list_entries(*d, buf, filler, offset);
}

int op_access(const char *path, int mask) noexcept
{
    // The caller's own rights (AT_EACCESS: the thread's file-system ids), not the daemon's.
    return on_entry(path, [&](const base_entry &e) {
        return faccessat(e.dir, e.name, mask, AT_EACCESS | AT_SYMLINK_NOFOLLOW);
    });
}

int op_utimens(const char *path, const struct timespec ts[2]) noexcept
{
    int res = on_entry(path, [&](const base_entry &e) {
        return utimensat(e.dir, e.name, ts, AT_SYMLINK_NOFOLLOW);
    });
    if (res == 0)
        record(record_attributes, path);
    return res;
}

int utimens_file(const char *path, const struct timespec ts[2], struct fuse_file_info *fi) noexcept
{
    // Time stamps are not guarded: a shared file's go through its descriptor as well.
    if (fi == nullptr)
        return op_utimens(path, ts);
    auto who = caller::take();
    if (!who)
        return who.error();
    if (futimens(file_descriptor(fi), ts) == -1)
        return negated_errno();
    record(record_attributes, path);
    return 0;
}
