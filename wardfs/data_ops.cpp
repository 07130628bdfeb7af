// Open files and data transfer. Opening for writing is where the guard protects content:
// the descriptor the kernel writes through refers to an inode with one link, or to the
// private copy made for this open. Reads and writes then go straight to that descriptor.
#include "unique_fd.h"
#include "wardfs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

// The kernel marks the open of a program it is about to run (execve, uselib) with this
// flag, which is __FMODE_EXEC in its own headers.
constexpr int open_for_exec = 040;

// Running a program needs execute permission only: a program the caller may run but not
// read (mode 0711) is opened with the daemon's rights once the caller's right to run that
// very inode is checked.
static int open_for_execution(const base_entry &entry, caller_scope &as_caller,
                              struct fuse_file_info *fi)
{
    unique_fd checked;
    struct stat st;
    if (int res = open_entry_inode(entry, checked, st); res != 0)
        return res;
    if (S_ISLNK(st.st_mode))
        return -ESTALE;
    if (faccessat(checked.get(), "", X_OK, AT_EACCESS | AT_EMPTY_PATH) == -1)
        return negated_errno();
    const fd_path name(checked.get());
    // Read-only and nothing more: the caller's other flags mean nothing for a program's
    // image, and O_NOFOLLOW would refuse the /proc name.
    unique_fd fd;
    if (int res = as_caller.with_daemon_rights([&] {
            fd.reset(open(name.c_str(), O_RDONLY | O_CLOEXEC));
            return fd ? 0 : negated_errno();
        });
        res != 0)
        return res;
    fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd.release()));
    return 0;
}

// Every open runs as the caller, so the base decides with the caller's rights (and a new
// file belongs to it), and never through a final symbolic link.
int open_file_common(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept
{
    // O_DIRECT is the caller's contract with the kernel, which sends such a file's reads and
    // writes straight to the daemon. The daemon's own I/O on the base is not aligned the way
    // O_DIRECT needs (pages written back from a mapping, appends), so it keeps O_SYNC and
    // O_DSYNC and drops O_DIRECT.
    int flags = fi->flags & ~O_DIRECT;
    caller_scope as_caller;
    base_entry entry;
    if (int res = resolve_as_caller(path, as_caller, entry); res != 0)
        return res;

    if ((flags & open_for_exec) != 0)
        return open_for_execution(entry, as_caller, fi);

    // Linux truncates on O_RDONLY | O_TRUNC too, so such an open is guarded like a write:
    // handed to the system unguarded it would empty every name of a shared inode. Other
    // read-only opens go straight to the base.
    if ((flags & O_ACCMODE) == O_RDONLY && !(flags & O_TRUNC)) {
        int fd = open_entry(entry, flags, mode);
        if (fd == -1)
            return negated_errno();
        fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd));
        return 0;
    }

    // Writing, or truncating: the guard decides on the inode the name holds and hands out a
    // descriptor of that inode (or of its private copy), opened with the caller's flags.
    unique_fd fd;
    struct stat st;
    guard_outcome outcome;
    if (int res = open_guarded(entry, flags, mode, {.kind = change_content, .operation = "open"},
                               &as_caller, fd, st, &outcome);
        res != 0)
        return res;
    if (outcome.created)
        record("created", path);
    else if ((flags & O_TRUNC) != 0)
        record_content(path, fd.get());
    fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd.release()));
    return 0;
}

int op_open(const char *path, struct fuse_file_info *fi) noexcept
{
    return open_file_common(path, 0, fi);
}

int op_create(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept
{
    return open_file_common(path, mode, fi);
}

static int fh_fd(const struct fuse_file_info *fi)
{
    return static_cast<int>(fi->fh);
}

int op_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *fi) noexcept
{
    ssize_t n = pread(fh_fd(fi), buf, size, offset);
    return n == -1 ? negated_errno() : static_cast<int>(n);
}

int op_write(const char *path, const char *buf, size_t size, off_t offset,
             struct fuse_file_info *fi) noexcept
{
    data_scope as_writer;
    if (int res = as_writer.enter(); res != 0)
        return res;
    ssize_t n = pwrite(fh_fd(fi), buf, size, offset);
    if (n > 0)
        record_content(path, fh_fd(fi));
    return n == -1 ? negated_errno() : static_cast<int>(n);
}

int op_read_buf(const char *, struct fuse_bufvec **bufp, size_t size, off_t offset,
                struct fuse_file_info *fi) noexcept
{
    // libfuse reads from the descriptor itself (or splices) and frees the vector with free.
    auto *vec = static_cast<struct fuse_bufvec *>(malloc(sizeof(struct fuse_bufvec)));
    if (vec == nullptr)
        return -ENOMEM;
    *vec = FUSE_BUFVEC_INIT(size);
    vec->buf[0].flags = static_cast<enum fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    vec->buf[0].fd = fh_fd(fi);
    vec->buf[0].pos = offset;
    *bufp = vec;
    return 0;
}

int op_write_buf(const char *path, struct fuse_bufvec *src, off_t offset,
                 struct fuse_file_info *fi) noexcept
{
    data_scope as_writer;
    if (int res = as_writer.enter(); res != 0)
        return res;
    struct fuse_bufvec dst = FUSE_BUFVEC_INIT(fuse_buf_size(src));
    dst.buf[0].flags = static_cast<enum fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    dst.buf[0].fd = fh_fd(fi);
    dst.buf[0].pos = offset;
    ssize_t n = fuse_buf_copy(&dst, src, FUSE_BUF_SPLICE_NONBLOCK);
    if (n > 0)
        record_content(path, fh_fd(fi));
    return static_cast<int>(n);
}

int op_fsync(const char *, int, struct fuse_file_info *fi) noexcept
{
    // The datasync flag is not looked at: the full sync is always done.
    if (fsync(fh_fd(fi)) == -1)
        return negated_errno();
    return 0;
}

int op_fallocate(const char *path, int mode, off_t offset, off_t length,
                 struct fuse_file_info *fi) noexcept
{
    // Preallocation and hole punching act on a descriptor that passed the guard when it was
    // opened for writing; the kernel refuses them on one opened for reading. They run as the
    // caller, so the base clears set-user-ID and set-group-ID bits as it would for it.
    caller_scope as_caller;
    if (int res = as_caller.enter(); res != 0)
        return res;
    if (fallocate(fh_fd(fi), mode, offset, length) == -1)
        return negated_errno();
    record_content(path, fh_fd(fi));
    return 0;
}

ssize_t op_copy_file_range(const char *, struct fuse_file_info *fi_in, off_t offset_in,
                           const char *path_out, struct fuse_file_info *fi_out, off_t offset_out,
                           size_t size, int flags) noexcept
{
    // The base copies between the two files itself (a clone on a reflink file system), and
    // the data never passes through the daemon. The destination passed the guard when it
    // was opened for writing. As the caller, for the set-ID bits, as fallocate.
    caller_scope as_caller;
    if (int res = as_caller.enter(); res != 0)
        return res;
    ssize_t n = copy_file_range(fh_fd(fi_in), &offset_in, fh_fd(fi_out), &offset_out, size,
                                static_cast<unsigned int>(flags));
    if (n > 0)
        record_content(path_out, fh_fd(fi_out));
    return n == -1 ? negated_errno() : n;
}

off_t op_lseek(const char *, off_t offset, int whence, struct fuse_file_info *fi) noexcept
{
    // The kernel asks only for SEEK_DATA and SEEK_HOLE: the base's answer keeps sparse files
    // sparse when they are copied out. The position of the descriptor is not used otherwise.
    off_t res = lseek(fh_fd(fi), offset, whence);
    return res == -1 ? negated_errno() : res;
}

int op_release(const char *, struct fuse_file_info *fi) noexcept
{
    // Forgotten before the close: the number may be handed out again at once.
    record_release(fh_fd(fi));
    close(fh_fd(fi));
    return 0;
}
