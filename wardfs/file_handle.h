// The file handle of an open file or directory, as the handlers store it in fuse_file_info.
#pragma once

#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <fuse.h>
#include <sys/types.h>

// An open directory: its descriptor, the records of the last getdents64 not yet handed out
// (the kernel's buffer was full), and the offset the next entry has. Records are read
// directly, not through DIR: telldir and seekdir take a long, too narrow on 32-bit targets
// for the 64-bit offsets file systems hand out.
struct open_directory {
    unique_fd fd;
    off_t offset = 0;
    size_t at = 0, end = 0;
    alignas(8) char records[32768];
};

// A directory's file handle is its open_directory, marked in the top bit; a file's is its
// descriptor. These are the only places that read or write fuse_file_info::fh.
inline const uint64_t directory_handle = uint64_t{1} << 63;

inline void set_file_handle(struct fuse_file_info *fi, int fd) noexcept
{
    fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd));
}

inline void set_directory_handle(struct fuse_file_info *fi, open_directory *d) noexcept
{
    fi->fh = reinterpret_cast<uintptr_t>(d) | directory_handle;
}

// The open directory of a handle set by op_opendir, or null.
inline open_directory *directory_of(const struct fuse_file_info *fi) noexcept
{
    if (fi == nullptr || (fi->fh & directory_handle) == 0)
        return nullptr;
    return reinterpret_cast<open_directory *>(fi->fh & ~directory_handle);
}

// The descriptor of a directory opened by op_opendir, or -1.
inline int open_directory_fd(const struct fuse_file_info *fi) noexcept
{
    const open_directory *d = directory_of(fi);
    return d != nullptr ? d->fd.get() : -1;
}

// The descriptor an open file or directory holds.
inline int file_descriptor(const struct fuse_file_info *fi) noexcept
{
    return (fi->fh & directory_handle) != 0 ? open_directory_fd(fi) : static_cast<int>(fi->fh);
}
