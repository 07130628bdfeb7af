// The write guard: a regular file or symbolic link with more than one hard link shares its
// inode with other names, so changing it through the mount is refused with EROFS, or, with
// --copyup, the name first gets a private copy. Also the guarded chmod, chown and truncate.
#include "file_handle.h"
#include "vaskel.h"
#include "wardfs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
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

// A refusal of a shared file (`links` its link count), in the record and in the log; `reason`
// is why, with --copyup, no copy could help.
static int refuse_shared(const char *operation, const char *path, nlink_t links, const char *reason)
{
    record_refusal(operation, path);
    log_refusal(operation, path != nullptr ? to_relative_path(path) : nullptr, links,
                copyup_enabled ? reason : nullptr);
    return -EROFS;
}

static bool same_inode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static bool shared(const struct stat &st)
{
    return (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && st.st_nlink > 1;
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

static bool may_write(int fd)
{
    return faccessat(fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0;
}

static bool in_group(const caller_scope &as_caller, gid_t gid)
{
    return as_caller.gid == gid || std::find(as_caller.groups.begin(), as_caller.groups.end(),
                                             gid) != as_caller.groups.end();
}

static bool has_prefix(const char *name, const char *prefix)
{
    return strncmp(name, prefix, strlen(prefix)) == 0;
}

// Whether the change may be made to the inode `fd` refers to, by the rules the base applies
// to it: what no inode of its type takes; write permission for content and user.*
// attributes (ACLs, immutable flags and LSMs included); the owner, or the daemon's own
// rights, which root callers keep, for mode, owner and ACLs; root for the other attribute
// namespaces. Asked before a copy-up, so that a change the base would refuse never breaks
// a link.
static int may_change(int fd, const struct stat &st, const guarded_change &change,
                      const caller_scope *as_caller)
{
    const bool link = S_ISLNK(st.st_mode);
    const bool user_xattr = change.kind == change_xattr && has_prefix(change.xattr, "user.");
    const bool acl = change.kind == change_xattr && has_prefix(change.xattr, "system.");
    if (link && change.kind == change_content)
        return -ESTALE; // the kernel follows links itself: the base changed beside the mount
    if (link && (change.kind == change_mode || change.kind == change_flags || acl))
        return -EOPNOTSUPP; // Linux keeps no mode or ACL of a link's own
    if (link && user_xattr)
        return -EPERM; // user.* attributes are for regular files and directories
    if (change.kind == change_content || user_xattr)
        return may_write(fd) ? 0 : negated_errno();
    if (as_caller == nullptr || !as_caller->active)
        return 0;
    if (change.kind == change_xattr && !acl)
        return -EPERM; // trusted.*, security.*: CAP_SYS_ADMIN or CAP_SETFCAP
    if (as_caller->uid != st.st_uid) {
        // Anyone who may write the file may have its set-ID bits cleared.
        const bool clears = change.kind == change_mode && clears_set_id_only(st, change.mode);
        return clears && may_write(fd) ? 0 : -EPERM;
    }
    if (change.kind != change_owner)
        return 0;
    // An owner without CAP_CHOWN keeps the owner and gives one of its own groups.
    const bool same_owner = change.uid == static_cast<uid_t>(-1) || change.uid == st.st_uid;
    const bool own_group = change.gid == static_cast<gid_t>(-1) || change.gid == st.st_gid ||
                           in_group(*as_caller, change.gid);
    return same_owner && own_group ? 0 : -EPERM;
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

// Gives the name a private copy of `seen` while the name still holds it; -EAGAIN when it
// holds another inode (or none), and the guard looks again.
static int copy_up(const base_entry &entry, const struct stat &seen)
{
    struct stat now;
    if (fstatat(entry.dir, entry.name, &now, AT_SYMLINK_NOFOLLOW) == -1)
        return errno == ENOENT ? -EAGAIN : negated_errno();
    if (!same_inode(now, seen))
        return -EAGAIN;
    // Two threads may both get here for the same name; the library then finds a single link
    // (or a name it already replaced) and succeeds without a second copy.
    int res = break_hardlink(entry);
    // The library fails when the name changed under it; that is a change of name as well.
    if (res != 0 &&
        (fstatat(entry.dir, entry.name, &now, AT_SYMLINK_NOFOLLOW) == -1 || !same_inode(now, seen)))
        return -EAGAIN;
    return res;
}

// How often the guard looks again at a name that changed under a copy-up (or that appeared
// under an O_CREAT) before it refuses.
constexpr int guard_attempts = 4;

fd_path::fd_path(int fd) noexcept
{
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
}

int open_guarded(const base_entry &entry, int flags, mode_t mode, const guarded_change &change,
                 caller_scope *as_caller, unique_fd &fd, struct stat &st,
                 guard_outcome *outcome) noexcept
{
    guard_outcome ignored;
    if (outcome == nullptr)
        outcome = &ignored;
    *outcome = {};
    // O_CREAT | O_EXCL never opens an existing entry, so what it opens is new, with one link.
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        fd.reset(open_entry(entry, flags, mode));
        outcome->created = static_cast<bool>(fd);
        return fd && fstat(fd.get(), &st) == 0 ? 0 : negated_errno();
    }
    for (int attempt = 0;; attempt++) {
        // The inode the name holds now, opened without opening it for anything: a write-open
        // of a shared inode could be refused where EROFS or a copy-up is the answer (ETXTBSY
        // while it runs under another name), and would wake watchers and break leases on
        // every name of it.
        unique_fd inode(open_entry(entry, O_PATH));
        if (!inode) {
            if (errno != ENOENT || (flags & O_CREAT) == 0)
                return negated_errno();
            // A new entry, unless another one appeared meanwhile: that one is looked at.
            fd.reset(open_entry(entry, flags | O_EXCL, mode));
            if (fd) {
                outcome->created = true;
                return fstat(fd.get(), &st) == 0 ? 0 : negated_errno();
            }
            if (errno != EEXIST || attempt + 1 >= guard_attempts)
                return negated_errno();
            continue;
        }
        if (fstat(inode.get(), &st) == -1)
            return negated_errno();
        // The name must still hold this inode: a copy-up for another request may have moved
        // the name to a private copy, and the old inode's link count then counts only its
        // other names, which this change must never reach. A name that moved is looked at
        // again.
        struct stat named;
        const int looked = fstatat(entry.dir, entry.name, &named, AT_SYMLINK_NOFOLLOW);
        if (looked == -1 && errno != ENOENT)
            return negated_errno();
        if (looked == -1 || !same_inode(named, st)) {
            if (attempt + 1 >= guard_attempts)
                return -ESTALE; // the base keeps changing beside the mount
            continue;
        }
        st = named;
        if (!shared(st)) {
            if (flags == O_PATH) {
                fd = std::move(inode);
                return 0;
            }
            if (S_ISLNK(st.st_mode))
                return -ESTALE;
            // The same inode, opened for the change through the descriptor the guard
            // decided on, as the caller: the base checks the caller's rights as for an open
            // by name, and applies O_TRUNC to this inode only.
            fd.reset(open(fd_path(inode.get()).c_str(),
                          (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC));
            return fd ? 0 : negated_errno();
        }
        if (!copyup_enabled || attempt + 1 >= guard_attempts) {
            return refuse_shared(change.operation, entry.path, st.st_nlink,
                                 "its name kept turning back into a shared file");
        }
        if (int res = may_change(inode.get(), st, change, as_caller); res != 0)
            return res;
        auto step = [&] { return copy_up(entry, st); };
        int res = as_caller != nullptr ? as_caller->with_daemon_rights(step) : step();
        if (res == 0) {
            outcome->copied_up = true;
            record("copied-up", entry.path);
        }
        // Whatever the name holds now is looked at afresh.
        if (res != 0 && res != -EAGAIN)
            return res;
    }
}

int guard_write(const char *rel_path, const struct stat *stat_or_null,
                bool *did_copyup_or_null) noexcept
{
    if (did_copyup_or_null != nullptr)
        *did_copyup_or_null = false;
    // A given status decides without a look, as long as it needs no copy.
    if (stat_or_null != nullptr && (!shared(*stat_or_null) || !copyup_enabled))
        return shared(*stat_or_null) ? -EROFS : 0;
    base_entry entry;
    if (int res = resolve_entry(rel_path, entry); res != 0)
        return res == -ENOENT ? 0 : res;
    unique_fd fd;
    struct stat st;
    guard_outcome outcome;
    int res = open_guarded(entry, O_PATH, 0, {change_owner}, nullptr, fd, st, &outcome);
    if (did_copyup_or_null != nullptr)
        *did_copyup_or_null = outcome.copied_up;
    return res == -ENOENT ? 0 : res;
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

// chmod has no form that keeps to the inode a descriptor refers to (fchmod refuses an O_PATH
// one), so the inode is named through /proc.
static int set_mode(int fd, const struct stat &st, mode_t mode, caller_scope &as_caller)
{
    const fd_path name(fd);
    if (chmod(name.c_str(), mode) == 0)
        return 0;
    if (errno != EPERM || !as_caller.active || !clears_set_id_only(st, mode) || !may_write(fd))
        return negated_errno();
    return as_caller.with_daemon_rights(
        [&] { return chmod(name.c_str(), mode) == -1 ? negated_errno() : 0; });
}

int remove_attribute(int fd, const char *name, caller_scope &as_caller) noexcept
{
    const fd_path path(fd);
    if (removexattr(path.c_str(), name) == 0)
        return 0;
    // The kernel asks for security.capability to go before a write by a writer without
    // CAP_FSETID, as the base drops it on such a write itself: any writer may have it done.
    if (errno != EPERM || !as_caller.active || strcmp(name, "security.capability") != 0 ||
        !may_write(fd))
        return negated_errno();
    return as_caller.with_daemon_rights(
        [&] { return removexattr(path.c_str(), name) == -1 ? negated_errno() : 0; });
}

// The guarded changes by name: each is made through the descriptor the guard decided on.
template <typename Change>
static int change_guarded(const char *path, const guarded_change &change, Change make)
{
    caller_scope as_caller;
    base_entry entry;
    if (int res = resolve_as_caller(path, as_caller, entry); res != 0)
        return res;
    unique_fd fd;
    struct stat st = {};
    if (int res = open_guarded(entry, O_PATH, 0, change, &as_caller, fd, st); res != 0)
        return res;
    int res = make(fd.get(), st, as_caller);
    if (res == 0)
        record(change.kind == change_content ? "changed" : "attributes", path);
    return res;
}

int op_chmod(const char *path, mode_t mode) noexcept
{
    return change_guarded(path, {.kind = change_mode, .mode = mode, .operation = "chmod"},
                          [&](int fd, const struct stat &st, caller_scope &as_caller) {
                              // Linux cannot change a symbolic link's mode.
                              if (S_ISLNK(st.st_mode))
                                  return -EOPNOTSUPP;
                              return set_mode(fd, st, mode, as_caller);
                          });
}

int op_chown(const char *path, uid_t uid, gid_t gid) noexcept
{
    // On the entry itself, a symbolic link included, as lchown.
    return change_guarded(
        path, {.kind = change_owner, .uid = uid, .gid = gid, .operation = "chown"},
        [&](int fd, const struct stat &, caller_scope &) {
            return fchownat(fd, "", uid, gid, AT_EMPTY_PATH) == -1 ? negated_errno() : 0;
        });
}

// truncate of the inode, with the caller's rights checked as for a truncate by name.
static int truncate_inode(int fd, off_t size)
{
    return truncate(fd_path(fd).c_str(), size) == -1 ? negated_errno() : 0;
}

int op_truncate(const char *path, off_t size) noexcept
{
    return change_guarded(path, {.kind = change_content, .operation = "truncate"},
                          [&](int fd, const struct stat &st, caller_scope &) {
                              // The kernel follows links itself: one here is a change beside
                              // the mount.
                              if (S_ISLNK(st.st_mode))
                                  return -ESTALE;
                              return truncate_inode(fd, size);
                          });
}

// libfuse 3 (and libfuse 2 for ftruncate and ioctl) names the open file a change is made
// through. A file that is not shared is changed through its descriptor, whatever its name holds
// now, or whether it still has one. A shared one goes the way of its name (guard, copy-up), but
// only while the name still holds the open inode: one whose name is gone, or holds another
// inode, is refused.
template <typename ByFd, typename ByName>
static int change_open_file(const char *path, struct fuse_file_info *fi, const char *operation,
                            ByFd by_fd, ByName by_name)
{
    if (fi == nullptr)
        return by_name();
    struct stat st;
    int fd = file_descriptor(fi);
    if (fstat(fd, &st) == -1)
        return negated_errno();
    if (shared(st)) {
        base_entry entry;
        struct stat named;
        if (resolve_entry(path, entry) != 0 ||
            fstatat(entry.dir, entry.name, &named, AT_SYMLINK_NOFOLLOW) == -1 ||
            !same_inode(named, st)) {
            return refuse_shared(operation, path, st.st_nlink,
                                 "the open file is no longer the one its name holds, so no "
                                 "copy can be made for it");
        }
        return by_name();
    }
    caller_scope as_caller;
    if (int res = as_caller.enter(); res != 0)
        return res;
    int res = by_fd(fd, as_caller);
    if (res == 0 && strcmp(operation, "truncate") == 0)
        record_content(path, fd);
    else if (res == 0)
        record("attributes", path);
    return res;
}

int chmod_file(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept
{
    return change_open_file(
        path, fi, "chmod",
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
        path, fi, "chown",
        [&](int fd, caller_scope &) { return fchown(fd, uid, gid) == -1 ? negated_errno() : 0; },
        [&] { return op_chown(path, uid, gid); });
}

int truncate_file(const char *path, off_t size, struct fuse_file_info *fi) noexcept
{
    return change_open_file(
        path, fi, "truncate",
        [&](int fd, caller_scope &) {
            // A read-only descriptor is truncated for an O_RDONLY | O_TRUNC open (without
            // atomic_o_trunc the kernel truncates after the open): through /proc, as the
            // caller, with the rights an open with O_TRUNC needs.
            int flags = fcntl(fd, F_GETFL);
            if (flags == -1)
                return negated_errno();
            if ((flags & O_ACCMODE) == O_RDONLY)
                return truncate_inode(fd, size);
            return ftruncate(fd, size) == -1 ? negated_errno() : 0;
        },
        [&] { return op_truncate(path, size); });
}

// Inode flags (lsattr, chattr). The kernel opens the file or directory for the request and
// sends FS_IOC_GETFLAGS and FS_IOC_SETFLAGS with a 4-byte int, whatever size the command
// number gives (a long's), so commands are matched by type, number and direction only.
static bool is_command(unsigned int cmd, unsigned long known)
{
    return _IOC_TYPE(cmd) == _IOC_TYPE(known) && _IOC_NR(cmd) == _IOC_NR(known) &&
           _IOC_DIR(cmd) == _IOC_DIR(known);
}

int op_ioctl(const char *path, unsigned int cmd, void *, struct fuse_file_info *fi, unsigned int,
             void *data) noexcept
{
    const bool get_flags = is_command(cmd, FS_IOC_GETFLAGS);
    const bool get_fsx = is_command(cmd, FS_IOC_FSGETXATTR);
    const bool set_flags = is_command(cmd, FS_IOC_SETFLAGS);
    const bool set_fsx = is_command(cmd, FS_IOC_FSSETXATTR);
    if (!(get_flags || get_fsx || set_flags || set_fsx) || data == nullptr || fi == nullptr)
        return -ENOTTY; // the answer for a command a file does not know
    int flags = 0;
    struct fsxattr fsx = {};
    void *arg = get_flags || set_flags ? static_cast<void *>(&flags) : static_cast<void *>(&fsx);
    const size_t size = get_flags || set_flags ? sizeof flags : sizeof fsx;

    // Reading is never refused; the caller's rights are those it opened the file with.
    if (get_flags || get_fsx) {
        caller_scope as_caller;
        if (int res = as_caller.enter(); res != 0)
            return res;
        if (ioctl(file_descriptor(fi), get_flags ? FS_IOC_GETFLAGS : FS_IOC_FSGETXATTR, arg) == -1)
            return negated_errno();
        memcpy(data, arg, size);
        return 0;
    }

    // Setting them changes the inode, as chmod does: as the caller (CAP_LINUX_IMMUTABLE only
    // for root), and a shared file is refused or copied up first.
    memcpy(arg, data, size);
    const unsigned long set = set_flags ? FS_IOC_SETFLAGS : FS_IOC_FSSETXATTR;
    return change_open_file(
        path, fi, "flags",
        [&](int fd, caller_scope &) { return ioctl(fd, set, arg) == -1 ? negated_errno() : 0; },
        [&] {
            return change_guarded(
                path, {.kind = change_flags, .operation = "flags"},
                [&](int inode, const struct stat &st, caller_scope &) {
                    if (!S_ISREG(st.st_mode))
                        return -ENOTTY;
                    // The private inode the guard decided on, opened as the kernel opens
                    // a file for this request.
                    unique_fd fd(
                        open(fd_path(inode).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
                    if (!fd)
                        return negated_errno();
                    return ioctl(fd.get(), set, arg) == -1 ? negated_errno() : 0;
                });
        });
}
