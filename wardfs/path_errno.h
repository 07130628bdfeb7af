// The helpers every file of wardfs uses: the negated-errno result of the file-system
// handlers, the mapping of a FUSE path into the base, and a value-or-errno result.
#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

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

// A value, or the negated errno that kept it from being made: what a factory returns.
template <typename T> class or_errno {
  public:
    or_errno(T &&value) noexcept : value_(std::move(value)) {}
    static or_errno failure(int negated) noexcept { return or_errno(negated); }
    explicit operator bool() const noexcept { return value_.has_value(); }
    int error() const noexcept { return error_; }
    T &operator*() noexcept { return *value_; }
    T *operator->() noexcept { return &*value_; }

  private:
    explicit or_errno(int negated) noexcept : error_(negated) {}
    std::optional<T> value_;
    int error_ = 0;
};
