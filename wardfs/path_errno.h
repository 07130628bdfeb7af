// The two helpers every file of wardfs uses: the negated-errno result of the file-system
// handlers, and the mapping of a FUSE path into the base.
#pragma once

#include <cerrno>
#include <cstring>

// Minus the current errno: the failure result of a handler.
inline int negated_errno() noexcept
{
    return -errno;
}

// The FUSE path without its leading slashes, "." for the root; not a copy.
inline const char *to_relative_path(const char *path) noexcept
{
    const char *rel = path + strspn(path, "/");
    return *rel == '\0' ? "." : rel;
}
