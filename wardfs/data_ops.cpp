// Open files and data transfer. Opening for writing is where the guard protects content:
// the descriptor the kernel writes through refers to an inode with one link, or to the
// private copy made for this open. Reads and writes then go straight to that descriptor.
#include "file_handle.h"
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

// Every open runs as the caller, so the base decides with the caller's rights (and a new
// file belongs to it), and never through a final symbolic link.
int open_file_common(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept
{
    // O_DIRECT is the caller's contract with the kernel, which sends such a file's reads and
    // writes straight to the daemon. The daemon's own I/O on the base is not aligned the way
    // O_DIRECT needs (pages written back from a mapping, appends), so it keeps O_SYNC and
    // O_DSYNC and drops O_DIRECT.
    const int flags = fi->flags & ~O_DIRECT;
    auto req = request::start(path);
    if (!req)
        return req.error();

    if ((flags & open_for_exec) != 0) {
        auto program = guarded_inode::open_to_run(req->entry, req->who);
        if (!program)
            return program.error();
        set_file_handle(fi, program->release());
        return 0;
    }

    // Linux truncates on O_RDONLY | O_TRUNC too, so such an open is guarded like a write:
    // handed to the system unguarded it would empty every name of a shared inode. Other
    // read-only opens go straight to the base.
    if ((flags & O_ACCMODE) == O_RDONLY && !(flags & O_TRUNC)) {
        int fd = open_entry(req->entry, flags, mode);
        if (fd == -1)
            return negated_errno();
        set_file_handle(fi, fd);
        return 0;
    }

    // Writing, or truncating: the guard decides on the inode the name holds and hands out a
    // descriptor of that inode (or of its private copy), opened with the caller's flags.
    auto opened = guarded_inode::open_for_writing(req->entry, flags, mode, req->who);
    if (!opened)
        return opened.error();
    if (opened->created)
        record(record_created, path);
    else if ((flags & O_TRUNC) != 0)
        record_content(path, opened->fd.get());
    set_file_handle(fi, opened->fd.release());
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

int op_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *fi) noexcept
{
    ssize_t n = pread(file_descriptor(fi), buf, size, offset);
    return n == -1 ? negated_errno() : static_cast<int>(n);
}

int op_write(const char *path, const char *buf, size_t size, off_t offset,
             struct fuse_file_info *fi) noexcept
{
    auto writer = caller::take(identity::data);
    if (!writer)
        return writer.error();
    ssize_t n = pwrite(file_descriptor(fi), buf, size, offset);
    if (n > 0)
        record_content(path, file_descriptor(fi));
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
    vec->buf[0].fd = file_descriptor(fi);
    vec->buf[0].pos = offset;
    *bufp = vec;
    return 0;
}

int op_write_buf(const char *path, struct fuse_bufvec *src, off_t offset,
                 struct fuse_file_info *fi) noexcept
{
    auto writer = caller::take(identity::data);
    if (!writer)
        return writer.error();
    struct fuse_bufvec dst = FUSE_BUFVEC_INIT(fuse_buf_size(src));
    dst.buf[0].flags = static_cast<enum fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    dst.buf[0].fd = file_descriptor(fi);
    dst.buf[0].pos = offset;
    ssize_t n = fuse_buf_copy(&dst, src, FUSE_BUF_SPLICE_NONBLOCK);
    if (n > 0)
        record_content(path, file_descriptor(fi));
    return static_cast<int>(n);
}

int op_fsync(const char *, int, struct fuse_file_info *fi) noexcept
{
    // The datasync flag is not looked at: the full sync is always done.
    if (fsync(file_descriptor(fi)) == -1)
        return negated_errno();
    return 0;
}

int op_fallocate(const char *path, int mode, off_t offset, off_t length,
                 struct fuse_file_info *fi) noexcept
{
    // Preallocation and hole punching act on a descriptor that passed the guard when it was
    // opened for writing; the kernel refuses them on one opened for reading. They run as the
    // caller, so the base clears set-user-ID and set-group-ID bits as it would for it.
    auto who = caller::take();
    if (!who)
        return who.error();
    if (fallocate(file_descriptor(fi), mode, offset, length) == -1)
        return negated_errno();
    record_content(path, file_descriptor(fi));
    return 0;
}

ssize_t op_copy_file_range(const char *, struct fuse_file_info *fi_in, off_t offset_in,
                           const char *path_out, struct fuse_file_info *fi_out, off_t offset_out,
                           size_t size, int flags) noexcept
{
    // The base copies between the two files itself (a clone on a reflink file system), and
    // the data never passes through the daemon. The destination passed the guard when it
    // was opened for writing. As the caller, for the set-ID bits, as fallocate.
    auto who = caller::take();
    if (!who)
        return who.error();
    ssize_t n = copy_file_range(file_descriptor(fi_in), &offset_in, file_descriptor(fi_out),
                                &offset_out, size, static_cast<unsigned int>(flags));
    if (n > 0)
        record_content(path_out, file_descriptor(fi_out));
    return n == -1 ? negated_errno() : n;
}

off_t op_lseek(const char *, off_t offset, int whence, struct fuse_file_info *fi) noexcept
{
    // The kernel asks only for SEEK_DATA and SEEK_HOLE: the base's answer keeps sparse files
    // sparse when they are copied out. The position of the descriptor is not used otherwise.
    off_t res = lseek(file_descriptor(fi), offset, whence);
    return res == -1 ? negated_errno() : res;
}

int op_release(const char *, struct fuse_file_info *fi) noexcept
{
    // Forgotten before the close: the number may be handed out again at once.
    record_release(file_descriptor(fi));
    close(file_descriptor(fi));
    return 0;
}
