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
#include <gio/gio.h>
#include <glib.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

int copy_up_error_to_errno(int code) noexcept
{
    // GIO's codes; the error domain is not looked at.
    switch (code) {
    case G_IO_ERROR_NOT_FOUND:
        return ENOENT;
    case G_IO_ERROR_IS_DIRECTORY:
        return EISDIR;
    case G_IO_ERROR_NO_SPACE:
        return ENOSPC;
    case G_IO_ERROR_PERMISSION_DENIED:
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

// The one definition of shared: a regular file or symbolic link with another name.
bool shared_inode(const struct stat &st) noexcept
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

static bool has_prefix(const char *name, const char *prefix)
{
    return strncmp(name, prefix, strlen(prefix)) == 0;
}

// The decision on a change of the inode `fd` refers to, by the rules the base applies to it
// (`res`, 0 or a negated errno): what no inode of its type takes; write permission for
// content and user.* attributes (ACLs, immutable flags and LSMs included); the owner, or the
// daemon's own rights, which root callers keep, for mode, owner and ACLs; root for the other
// attribute namespaces. `lend`: a change the caller may have made although its own rights do
// not reach it, so it is made with the daemon's: the clearing of set-ID bits and the removal
// of security.capability by a writer, which the kernel asks for before a write and which the
// base does itself on a write.
struct decision {
    int res = 0;
    bool lend = false;
};
static decision decide(int fd, const struct stat &st, const guarded_change &change,
                       const caller *who)
{
    const bool link = S_ISLNK(st.st_mode);
    const bool xattr = change.kind == change_xattr || change.kind == change_xattr_removal;
    const bool user_xattr = xattr && has_prefix(change.xattr, "user.");
    const bool acl = xattr && has_prefix(change.xattr, "system.");
    if (link && change.kind == change_content)
        return {-ESTALE}; // the kernel follows links itself: the base changed beside the mount
    if (link && (change.kind == change_mode || change.kind == change_flags || acl))
        return {-EOPNOTSUPP}; // Linux keeps no mode or ACL of a link's own
    if (link && user_xattr)
        return {-EPERM}; // user.* attributes are for regular files and directories
    if (change.kind == change_content || user_xattr)
        return {may_write(fd) ? 0 : negated_errno()};
    if (who == nullptr || !who->switched())
        return {};
    // The kernel asks for security.capability to go only before a write, through a file the
    // open for writing already made private: a shared file is not copied up for it.
    if (change.kind == change_xattr_removal && strcmp(change.xattr, "security.capability") == 0)
        return !shared_inode(st) && may_write(fd) ? decision{0, true} : decision{-EPERM};
    if (xattr && !acl)
        return {-EPERM}; // trusted.*, security.*: CAP_SYS_ADMIN or CAP_SETFCAP
    if (who->uid() != st.st_uid) {
        const bool clears = change.kind == change_mode && clears_set_id_only(st, change.mode);
        return clears && may_write(fd) ? decision{0, true} : decision{-EPERM};
    }
    if (change.kind != change_owner)
        return {};
    // An owner without CAP_CHOWN keeps the owner and gives one of its own groups.
    const bool same_owner = change.uid == static_cast<uid_t>(-1) || change.uid == st.st_uid;
    const bool own_group = change.gid == static_cast<gid_t>(-1) || change.gid == st.st_gid ||
                           who->in_group(change.gid);
    return {same_owner && own_group ? 0 : -EPERM};
}

// Whether the daemon's rights may be lent for the change: asked only where they can be.
static bool lends(int fd, const struct stat &st, const guarded_change &change, const caller *who)
{
    if (who == nullptr || !who->switched() ||
        (change.kind != change_mode && change.kind != change_xattr_removal))
        return false;
    const decision d = decide(fd, st, change, who);
    return d.res == 0 && d.lend;
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

// Why a shared open file is refused with --copyup when its name no longer holds it.
constexpr const char *open_file_moved =
    "the open file is no longer the one its name holds, so no copy can be made for it";

// How often the guard looks again at a name that changed under a copy-up (or that appeared
// under an O_CREAT) before it refuses.
constexpr int guard_attempts = 4;

fd_path::fd_path(int fd) noexcept
{
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
}

// The inode the name holds now, opened without opening it for anything (a write-open of a
// shared inode could be refused where EROFS or a copy-up is the answer, ETXTBSY while it runs
// under another name, and would wake watchers and break leases on every name of it), and its
// status. The name must still hold it: a copy-up for another request may have moved the name
// to a private copy, and the old inode's link count then counts only its other names, which
// this change must never reach. -EAGAIN when it moved (or is gone), and the guard looks again.
static int look(const base_entry &entry, unique_fd &inode, struct stat &st)
{
    inode.reset(open_entry(entry, O_PATH));
    if (!inode || fstat(inode.get(), &st) == -1)
        return negated_errno();
    struct stat named;
    if (fstatat(entry.dir, entry.name, &named, AT_SYMLINK_NOFOLLOW) == -1)
        return errno == ENOENT ? -EAGAIN : negated_errno();
    if (!same_inode(named, st))
        return -EAGAIN;
    st = named;
    return 0;
}

// Whether the private inode `st` is still what the name holds, with one link, once no
// rename or unlink in its directory is under way. Such a change drops the link count of the
// inode it takes the name from before the name shows the change: for that moment a shared
// inode that is losing this name looks private through it, and a change let through would
// reach its other names. The change holds the directory's lock throughout. A rename of the
// name onto itself with RENAME_NOREPLACE waits for that lock, finds the name and fails with
// EEXIST, changing nothing; a change that starts after it is one the guard came before.
static bool settled(const base_entry &entry, const struct stat &st)
{
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return true;
    renameat2(entry.dir, entry.name, entry.dir, entry.name, RENAME_NOREPLACE);
    struct stat named;
    return fstatat(entry.dir, entry.name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_inode(named, st) && !shared_inode(named);
}

or_errno<guarded_inode> guarded_inode::door(const base_entry &entry, const guarded_change &change,
                                            caller *who, const struct stat *expected) noexcept
{
    using result = or_errno<guarded_inode>;
    guarded_inode inode;
    inode.who_ = who;
    for (int attempt = 0;; attempt++) {
        int res = look(entry, inode.owned_, inode.st_);
        if (res == 0 && !shared_inode(inode.st_) && !settled(entry, inode.st_))
            res = -EAGAIN;
        if (expected != nullptr) {
            // An open file is changed through its name only while the name holds it.
            if (res == -EAGAIN || res == -ENOENT || (res == 0 && !same_inode(inode.st_, *expected)))
                return result::failure(refuse_shared(change.operation, entry.path,
                                                     expected->st_nlink, open_file_moved));
            expected = nullptr;
        }
        if (res == -EAGAIN && attempt + 1 < guard_attempts)
            continue;
        // ESTALE: the base keeps changing beside the mount.
        if (res != 0)
            return result::failure(res == -EAGAIN ? -ESTALE : res);
        if (!shared_inode(inode.st_)) {
            inode.fd_ = inode.owned_.get();
            inode.lend_ = lends(inode.fd_, inode.st_, change, who);
            return inode;
        }
        if (!copyup_enabled || attempt + 1 >= guard_attempts)
            return result::failure(refuse_shared(change.operation, entry.path, inode.st_.st_nlink,
                                                 "its name kept turning back into a shared file"));
        if (int verdict = decide(inode.owned_.get(), inode.st_, change, who).res; verdict != 0)
            return result::failure(verdict);
        auto step = [&] { return copy_up(entry, inode.st_); };
        res = who != nullptr ? who->with_daemon_rights(step) : step();
        if (res == 0) {
            inode.copied_up_ = true;
            record(record_copied_up, entry.path);
        }
        // Whatever the name holds now is looked at afresh.
        if (res != 0 && res != -EAGAIN)
            return result::failure(res);
    }
}

or_errno<guarded_inode> guarded_inode::by_name(const base_entry &entry,
                                               const guarded_change &change, caller *who) noexcept
{
    return door(entry, change, who, nullptr);
}

or_errno<guarded_inode> guarded_inode::of_open_file(int fd, const char *path,
                                                    const guarded_change &change,
                                                    caller &who) noexcept
{
    guarded_inode inode;
    inode.who_ = &who;
    if (fstat(fd, &inode.st_) == -1)
        return or_errno<guarded_inode>::failure(negated_errno());
    if (!shared_inode(inode.st_)) {
        inode.fd_ = fd;
        inode.lend_ = lends(fd, inode.st_, change, &who);
        return inode;
    }
    base_entry entry;
    if (resolve_entry(path, entry) != 0)
        return or_errno<guarded_inode>::failure(
            refuse_shared(change.operation, path, inode.st_.st_nlink, open_file_moved));
    return door(entry, change, &who, &inode.st_);
}

or_errno<guarded_open> guarded_inode::open_for_writing(const base_entry &entry, int flags,
                                                       mode_t mode, caller &who) noexcept
{
    using result = or_errno<guarded_open>;
    guarded_open opened;
    // O_CREAT | O_EXCL never opens an existing entry, so what it opens is new, with one link.
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        opened.fd.reset(open_entry(entry, flags, mode));
        if (!opened.fd)
            return result::failure(negated_errno());
        opened.created = true;
        return opened;
    }
    for (int attempt = 0;; attempt++) {
        auto inode = door(entry, {.kind = change_content, .operation = "open"}, &who, nullptr);
        if (inode) {
            if (int res = inode->reopen(flags, opened.fd); res != 0)
                return result::failure(res);
            return opened;
        }
        if (inode.error() != -ENOENT || (flags & O_CREAT) == 0)
            return result::failure(inode.error());
        // A new entry, unless another one appeared meanwhile: that one is looked at.
        opened.fd.reset(open_entry(entry, flags | O_EXCL, mode));
        if (opened.fd) {
            opened.created = true;
            return opened;
        }
        if (errno != EEXIST || attempt + 1 >= guard_attempts)
            return result::failure(negated_errno());
    }
}

or_errno<unique_fd> guarded_inode::open_to_run(const base_entry &entry, caller &who) noexcept
{
    using result = or_errno<unique_fd>;
    unique_fd inode;
    struct stat st;
    int res = look(entry, inode, st);
    if (res != 0)
        return result::failure(res == -EAGAIN ? -ESTALE : res);
    if (S_ISLNK(st.st_mode))
        return result::failure(-ESTALE);
    // Running a program needs execute permission only: a program the caller may run but not
    // read (mode 0711) is opened with the daemon's rights once the caller's right to run that
    // very inode is checked; read-only and nothing more (the caller's other flags mean nothing
    // for a program's image, and O_NOFOLLOW would refuse the /proc name).
    if (faccessat(inode.get(), "", X_OK, AT_EACCESS | AT_EMPTY_PATH) == -1)
        return result::failure(negated_errno());
    unique_fd fd;
    res = who.with_daemon_rights([&] {
        fd.reset(::open(fd_path(inode.get()).c_str(), O_RDONLY | O_CLOEXEC));
        return fd ? 0 : negated_errno();
    });
    if (res != 0)
        return result::failure(res);
    return fd;
}

// The same inode, opened for the change through the descriptor the guard decided on, as the
// caller: the base checks the caller's rights as for an open by name, and applies O_TRUNC to
// this inode only.
int guarded_inode::reopen(int flags, unique_fd &fd) const noexcept
{
    if (S_ISLNK(st_.st_mode))
        return -ESTALE;
    fd.reset(::open(fd_path(fd_).c_str(), (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC));
    return fd ? 0 : negated_errno();
}

template <typename Step> int guarded_inode::as_decided(Step step) noexcept
{
    auto made = [&] { return step() == -1 ? negated_errno() : 0; };
    return lend_ ? who_->with_daemon_rights(made) : made();
}

// chmod has no form that keeps to the inode a descriptor refers to (fchmod refuses an O_PATH
// one), so the inode is named through /proc.
int guarded_inode::set_mode(mode_t mode) noexcept
{
    if (S_ISLNK(st_.st_mode))
        return -EOPNOTSUPP; // Linux cannot change a symbolic link's mode
    return as_decided([&] { return chmod(fd_path(fd_).c_str(), mode); });
}

// On the inode itself, a symbolic link included, as lchown.
int guarded_inode::set_owner(uid_t uid, gid_t gid) noexcept
{
    return as_decided([&] { return fchownat(fd_, "", uid, gid, AT_EMPTY_PATH); });
}

// ftruncate where the descriptor was opened for writing; otherwise (O_PATH, or a read-only
// open with O_TRUNC, which the kernel truncates after the open without atomic_o_trunc) through
// /proc, as the caller, with the rights a truncate by name needs.
int guarded_inode::set_size(off_t size) noexcept
{
    if (S_ISLNK(st_.st_mode))
        return -ESTALE; // the kernel follows links itself: one here is a change beside the mount
    if (!owned_) {      // an open file's own descriptor
        const int flags = fcntl(fd_, F_GETFL);
        if (flags == -1)
            return negated_errno();
        if ((flags & O_ACCMODE) != O_RDONLY)
            return as_decided([&] { return ftruncate(fd_, size); });
    }
    return as_decided([&] { return ::truncate(fd_path(fd_).c_str(), size); });
}

int guarded_inode::set_attribute(const char *name, const char *value, size_t size,
                                 int flags) noexcept
{
    return as_decided([&] { return setxattr(fd_path(fd_).c_str(), name, value, size, flags); });
}

int guarded_inode::remove_attribute(const char *name) noexcept
{
    return as_decided([&] { return removexattr(fd_path(fd_).c_str(), name); });
}

int guarded_inode::set_flags(unsigned long command, void *arg) noexcept
{
    if (!owned_) // an open file's own descriptor
        return as_decided([&] { return ioctl(fd_, command, arg); });
    if (!S_ISREG(st_.st_mode))
        return -ENOTTY;
    // The inode the guard decided on, opened as the kernel opens a file for this request.
    unique_fd fd(::open(fd_path(fd_).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return negated_errno();
    return as_decided([&] { return ioctl(fd.get(), command, arg); });
}

int guard_write(const char *rel_path, const struct stat *stat_or_null,
                bool *did_copyup_or_null) noexcept
{
    if (did_copyup_or_null != nullptr)
        *did_copyup_or_null = false;
    // A given status decides without a look, as long as it needs no copy.
    if (stat_or_null != nullptr && (!shared_inode(*stat_or_null) || !copyup_enabled))
        return shared_inode(*stat_or_null) ? -EROFS : 0;
    base_entry entry;
    if (int res = resolve_entry(rel_path, entry); res != 0)
        return res == -ENOENT ? 0 : res;
    auto inode =
        guarded_inode::by_name(entry, {.kind = change_owner, .operation = "open"}, nullptr);
    if (!inode)
        return inode.error() == -ENOENT ? 0 : inode.error();
    if (did_copyup_or_null != nullptr)
        *did_copyup_or_null = inode->copied_up();
    return 0;
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

// The guarded changes by name: each is made through the inode the door let through.
template <typename Change>
static int change_by_name(const char *path, const guarded_change &change, Change make)
{
    auto req = request::start(path);
    if (!req)
        return req.error();
    auto inode = guarded_inode::by_name(req->entry, change, &req->who);
    if (!inode)
        return inode.error();
    int res = make(*inode);
    if (res == 0)
        record(change.kind == change_content ? record_changed : record_attributes, path);
    return res;
}

// The same through an open file (libfuse 3, and libfuse 2 for ftruncate and ioctl).
template <typename Change>
static int change_open_file(const char *path, struct fuse_file_info *fi,
                            const guarded_change &change, Change make)
{
    auto who = caller::take();
    if (!who)
        return who.error();
    const int fd = file_descriptor(fi);
    auto inode = guarded_inode::of_open_file(fd, path, change, *who);
    if (!inode)
        return inode.error();
    int res = make(*inode);
    if (res == 0 && change.kind == change_content)
        record_content(path, fd);
    else if (res == 0)
        record(record_attributes, path);
    return res;
}

// A change by name, or through the open file libfuse names.
template <typename Change>
static int change_guarded(const char *path, struct fuse_file_info *fi, const guarded_change &change,
                          Change make)
{
    return fi == nullptr ? change_by_name(path, change, make)
                         : change_open_file(path, fi, change, make);
}

int op_chmod(const char *path, mode_t mode) noexcept
{
    return chmod_file(path, mode, nullptr);
}

int op_chown(const char *path, uid_t uid, gid_t gid) noexcept
{
    return chown_file(path, uid, gid, nullptr);
}

int op_truncate(const char *path, off_t size) noexcept
{
    return truncate_file(path, size, nullptr);
}

int chmod_file(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept
{
    return change_guarded(path, fi, {.kind = change_mode, .operation = "chmod", .mode = mode},
                          [&](guarded_inode &inode) { return inode.set_mode(mode); });
}

int chown_file(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) noexcept
{
    return change_guarded(path, fi,
                          {.kind = change_owner, .operation = "chown", .uid = uid, .gid = gid},
                          [&](guarded_inode &inode) { return inode.set_owner(uid, gid); });
}

int truncate_file(const char *path, off_t size, struct fuse_file_info *fi) noexcept
{
    return change_guarded(path, fi, {.kind = change_content, .operation = "truncate"},
                          [&](guarded_inode &inode) { return inode.set_size(size); });
}

// Setting or removing an extended attribute changes the inode, so a shared one is guarded.
// Without --xattr every attribute call answers ENOSYS: the kernel then tells the caller
// EOPNOTSUPP and stops asking (with EOPNOTSUPP it would go on asking for security.capability
// before every single write, a round trip each).
int op_setxattr(const char *path, const char *name, const char *value, size_t size,
                int flags) noexcept
{
    if (!xattr_enabled)
        return -ENOSYS;
    return change_by_name(
        path, {.kind = change_xattr, .operation = "setxattr", .xattr = name},
        [&](guarded_inode &inode) { return inode.set_attribute(name, value, size, flags); });
}

int op_removexattr(const char *path, const char *name) noexcept
{
    if (!xattr_enabled)
        return -ENOSYS;
    return change_by_name(path,
                          {.kind = change_xattr_removal, .operation = "removexattr", .xattr = name},
                          [&](guarded_inode &inode) { return inode.remove_attribute(name); });
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
        auto who = caller::take();
        if (!who)
            return who.error();
        if (ioctl(file_descriptor(fi), get_flags ? FS_IOC_GETFLAGS : FS_IOC_FSGETXATTR, arg) == -1)
            return negated_errno();
        memcpy(data, arg, size);
        return 0;
    }

    // Setting them changes the inode, as chmod does: as the caller (CAP_LINUX_IMMUTABLE only
    // for root), and a shared file is refused or copied up first.
    memcpy(arg, data, size);
    const unsigned long set = set_flags ? FS_IOC_SETFLAGS : FS_IOC_FSSETXATTR;
    return change_open_file(path, fi, {.kind = change_flags, .operation = "flags"},
                            [&](guarded_inode &inode) { return inode.set_flags(set, arg); });
}
