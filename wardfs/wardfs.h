// wardfs: shows a base directory at a mount point; shared files (regular files and symbolic
// links with more than one hard link) cannot be changed through it, or are copied up first.
#pragma once

#include "caller.h"
#include "path_errno.h"
#include "unique_fd.h"

#include <atomic>
#include <fuse.h>
#include <sys/stat.h>
#include <vector>

// Process-wide settings, written only while the command line is parsed.
extern int base_dir_fd;
extern int copyup_enabled;
extern int xattr_enabled;
// --record FILE: the file named on the command line, and its descriptor (-1 without it).
extern const char *record_file;
extern int record_fd;

enum {
    OPTION_KEY_HELP = 0,
    OPTION_KEY_VERSION = 1,
    OPTION_KEY_COPYUP = 2,
    OPTION_KEY_XATTR = 3,
    OPTION_KEY_NO_PASSTHROUGH = 4,
    OPTION_KEY_RECORD = 5,
    OPTION_KEY_QUIET = 6,
};

extern const struct fuse_opt option_table[];
extern const struct fuse_operations operation_table;

// The libfuse edge (one for each libfuse line): hands the remaining arguments and the
// operation record to libfuse's main loop; returns its result, 0 after a clean unmount.
int run_fuse(struct fuse_args *args) noexcept;

int process_option(void *data, const char *arg, int key, struct fuse_args *outargs);

// Namespace handlers.
int op_getattr(const char *path, struct stat *stbuf) noexcept;
// getattr of an open file (libfuse 2's fgetattr, libfuse 3's getattr with a file-info).
int getattr_file(const char *path, struct stat *stbuf, struct fuse_file_info *fi) noexcept;
// statx, with the birth time (libfuse 3.18 and later hand it on).
int op_statx(const char *path, int flags, int mask, struct statx *stx,
             struct fuse_file_info *fi) noexcept;
int op_readlink(const char *path, char *buf, size_t size) noexcept;
int op_mknod(const char *path, mode_t mode, dev_t dev) noexcept;
int op_mkdir(const char *path, mode_t mode) noexcept;
int op_unlink(const char *path) noexcept;
int op_rmdir(const char *path) noexcept;
int op_symlink(const char *target, const char *linkpath) noexcept;
int op_rename(const char *from, const char *to) noexcept;
int rename_entry(const char *from, const char *to, unsigned int flags) noexcept;
int op_link(const char *from, const char *to) noexcept;
int op_statfs(const char *path, struct statvfs *buf) noexcept;
int op_setxattr(const char *path, const char *name, const char *value, size_t size,
                int flags) noexcept;
int op_getxattr(const char *path, const char *name, char *value, size_t size) noexcept;
int op_listxattr(const char *path, char *list, size_t size) noexcept;
int op_removexattr(const char *path, const char *name) noexcept;
// libfuse 2's directory filler; the libfuse 3 edge hands op_readdir one of this shape.
typedef int (*entry_filler)(void *buf, const char *name, const struct stat *st, off_t offset);
int op_readdir(const char *path, void *buf, entry_filler filler, off_t offset,
               struct fuse_file_info *fi) noexcept;
int op_opendir(const char *path, struct fuse_file_info *fi) noexcept;
int op_releasedir(const char *path, struct fuse_file_info *fi) noexcept;
int op_access(const char *path, int mask) noexcept;
int op_utimens(const char *path, const struct timespec ts[2]) noexcept;

// An entry of the base: the directory that holds it, reached beneath the base without
// following a symbolic link, and its last name ("." for the base itself).
struct base_entry {
    base_entry() = default;
    base_entry(base_entry &&other) noexcept
        : owned(other.owned), dir(other.dir), name(other.name), path(other.path)
    {
        other.owned = -1;
    }
    base_entry(const base_entry &) = delete;
    base_entry &operator=(const base_entry &) = delete;
    ~base_entry() { release_dir(); }
    void release_dir() noexcept;

    int owned = -1; // the directory, unless it is the base itself
    int dir = -1;
    const char *name = nullptr;
    const char *path = nullptr; // the FUSE path it was resolved from
};

// Set once openat2 has answered ENOSYS (older kernels, qemu-user): directories are then
// reached by a walk of O_NOFOLLOW opens. Tests set it to try that walk.
extern std::atomic<bool> openat2_missing;

// A symbolic link met where the kernel saw none: the base changed beside the mount.
int stale_if_link(int err) noexcept;
// An O_PATH descriptor of the directory `rel` beneath the base; -1 with errno set.
int open_dir_beneath(const char *rel) noexcept;
// The entry a FUSE path names: 0, or a negated errno (ESTALE for a link on the way).
int resolve_entry(const char *path, base_entry &entry) noexcept;
// A request on one name: the caller, its identity taken first, and the entry the path names,
// resolved with the caller's rights.
struct request {
    caller who;
    base_entry entry;
    static or_errno<request> start(const char *path, identity how = identity::full) noexcept;
};
// openat of the entry itself, never through a final link (ESTALE); -1 with errno set.
int open_entry(const base_entry &entry, int flags, mode_t mode = 0) noexcept;

// The name by which path calls reach the inode a descriptor refers to (an O_PATH one too),
// for the calls that have no form taking a descriptor.
struct fd_path {
    explicit fd_path(int fd) noexcept;
    const char *c_str() const noexcept { return name; }
    char name[32];
};

// Write guard and guarded changes. A guarded change is made through a descriptor of the very
// inode the guard examined, never by the name again: the base can give the name another
// inode between any two calls. A copy-up runs with the daemon's rights, to keep the owner;
// it happens only after the caller was found, on that very inode, to be allowed the change.
enum change_kind {
    change_content,       // writing or truncating: write permission
    change_mode,          // chmod: the owner (a symbolic link has no mode of its own)
    change_owner,         // chown: the owner, and a group of its own
    change_flags,         // inode flags (chattr): the owner
    change_xattr,         // setting an extended attribute, by namespace: user.* as content,
                          // system.* (ACLs) as the mode, the rest for root
    change_xattr_removal, // removing one, by the same rules
};
struct guarded_change {
    change_kind kind;
    const char *operation;              // its name in the record and log of a refusal
    mode_t mode = 0;                    // chmod's new mode
    uid_t uid = static_cast<uid_t>(-1); // chown's new owner and group, -1 for none
    gid_t gid = static_cast<gid_t>(-1);
    const char *xattr = ""; // the attribute's name
};

// A descriptor opened for writing by the guard, and what it did on the way.
struct guarded_open {
    unique_fd fd;
    bool created = false; // O_CREAT made a new file
};

// An inode the guard let a change through to: not shared, or the private copy made for the
// change. Getting one is the door (`by_name`, `of_open_file`, `open_for_writing`); its members
// are the only way the handlers change an inode that may be shared.
class guarded_inode {
  public:
    // The inode `entry` names now: opened O_PATH | O_NOFOLLOW, its status read from that
    // descriptor, checked to be what the name still holds; a shared one is refused (EROFS), or
    // with --copyup given a private copy where the base's rules allow `change`. `who` is null
    // for a change of the daemon's own. Also EROFS when the name kept turning back into a
    // shared file after each copy-up, ESTALE when it kept changing.
    static or_errno<guarded_inode> by_name(const base_entry &entry, const guarded_change &change,
                                           caller *who) noexcept;
    // An open file's inode (`fd`): changed through that descriptor while it is not shared; a
    // shared one only through its name (`path`, null once gone), and only while the name
    // still holds it.
    static or_errno<guarded_inode> of_open_file(int fd, const char *path,
                                                const guarded_change &change, caller &who) noexcept;
    // Opens `entry` for writing or truncating with the caller's `flags` (O_CREAT creating a
    // missing entry with `mode`): a new file, or the inode the door let through, reopened.
    static or_errno<guarded_open> open_for_writing(const base_entry &entry, int flags, mode_t mode,
                                                   caller &who) noexcept;
    // Opens `entry` to run it: execute permission of that inode is enough.
    static or_errno<unique_fd> open_to_run(const base_entry &entry, caller &who) noexcept;

    const struct stat &status() const noexcept { return st_; }
    bool copied_up() const noexcept { return copied_up_; }

    int set_mode(mode_t mode) noexcept;
    int set_owner(uid_t uid, gid_t gid) noexcept;
    int set_size(off_t size) noexcept;
    int set_attribute(const char *name, const char *value, size_t size, int flags) noexcept;
    int remove_attribute(const char *name) noexcept;
    // FS_IOC_SETFLAGS or FS_IOC_FSSETXATTR with `arg`.
    int set_flags(unsigned long command, void *arg) noexcept;

  private:
    guarded_inode() = default;
    // The door by name; `expected`, when given, is the inode the name must hold at first.
    static or_errno<guarded_inode> door(const base_entry &entry, const guarded_change &change,
                                        caller *who, const struct stat *expected) noexcept;
    // Runs `step` with the daemon's rights where the decision lent them, else as the caller.
    template <typename Step> int as_decided(Step step) noexcept;
    int reopen(int flags, unique_fd &fd) const noexcept;

    unique_fd owned_; // the O_PATH descriptor the door opened; none for an open file's own
    int fd_ = -1;
    struct stat st_ = {};
    caller *who_ = nullptr;
    bool copied_up_ = false;
    bool lend_ = false; // the base's rules allow the change only with the daemon's rights
};

// Whether the inode is shared: a regular file or symbolic link with another name.
bool shared_inode(const struct stat &st) noexcept;
int guard_write(const char *rel_path, const struct stat *stat_or_null,
                bool *did_copyup_or_null) noexcept;
int copy_up_error_to_errno(int code) noexcept;
void dakt_close_fd(int fd) noexcept;
int op_chmod(const char *path, mode_t mode) noexcept;
int op_chown(const char *path, uid_t uid, gid_t gid) noexcept;
int op_truncate(const char *path, off_t size) noexcept;
// libfuse 3 hands these a file-info for an open file: the change then goes to its descriptor.
int chmod_file(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept;
int chown_file(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) noexcept;
int truncate_file(const char *path, off_t size, struct fuse_file_info *fi) noexcept;
int utimens_file(const char *path, const struct timespec ts[2], struct fuse_file_info *fi) noexcept;
// Inode flags through an open file or directory (FS_IOC_GETFLAGS, FS_IOC_SETFLAGS,
// FS_IOC_FSGETXATTR, FS_IOC_FSSETXATTR); every other command gives ENOTTY.
int op_ioctl(const char *path, unsigned int cmd, void *arg, struct fuse_file_info *fi,
             unsigned int flags, void *data) noexcept;

// Kernel passthrough (libfuse 3.17 and later, and the libfuse 3 edge only). The device
// descriptor is the session's; pass_through gives a decided open its mode (a backing file,
// cached, or direct I/O), or fails it where the kernel would; end_pass_through tells whether
// a closing passthrough open changed its file; the other calls follow the names.
extern int passthrough_disabled; // -o no_passthrough
extern int passthrough_device_fd;
int pass_through(const char *path, struct fuse_file_info *fi) noexcept;
bool end_pass_through(const char *path, const struct fuse_file_info *fi) noexcept;
void name_gone(const char *path) noexcept;
void name_moved(const char *from, const char *to, bool exchanged) noexcept;

// The record of what the mount changed and refused (--record). Each call writes one line,
// and only for a change that reached the base; nothing without --record.
int open_record_file(const char *file) noexcept; // the descriptor, or -1 after a message
void record_mark(bool start) noexcept;           // "start", or "end" (with "incomplete")
enum record_kind {
    record_created,
    record_removed,
    record_renamed,
    record_exchanged,
    record_changed,
    record_attributes,
    record_copied_up,
};
void record(record_kind what, const char *path, const char *path2 = nullptr,
            const char *tail = nullptr) noexcept;
// "changed", once per open file.
void record_content(const char *path, int fd) noexcept;
void record_release(int fd) noexcept;
void record_refusal(const char *operation, const char *path) noexcept;

// The log of the guard's refusals (EROFS for a shared file): a line each, on standard error in
// the foreground (-f, -d) and through syslog as "wardfs" once detached, at most 10 lines in 5
// seconds; -o quiet silences it. `name` is relative to the base (null for an open file whose
// name is gone), `links` the shared inode's link count; `reason` says, with --copyup, why no
// copy could help, and without it the line points to --copyup.
extern int refusals_quiet;
extern bool log_to_stderr;
void log_refusal(const char *operation, const char *name, nlink_t links,
                 const char *reason) noexcept;
// Says how many refusals the limit held back; when the mount ends.
void log_refusals_end() noexcept;
// The process a request comes from: its pid, uid and program name.
struct requester {
    long pid = 0;
    long uid = -1;
    char comm[64] = "";
};
requester current_requester() noexcept;

// Open files and data transfer.
int open_file_common(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept;
int op_open(const char *path, struct fuse_file_info *fi) noexcept;
int op_create(const char *path, mode_t mode, struct fuse_file_info *fi) noexcept;
int op_read(const char *path, char *buf, size_t size, off_t offset,
            struct fuse_file_info *fi) noexcept;
int op_write(const char *path, const char *buf, size_t size, off_t offset,
             struct fuse_file_info *fi) noexcept;
int op_read_buf(const char *path, struct fuse_bufvec **bufp, size_t size, off_t offset,
                struct fuse_file_info *fi) noexcept;
int op_write_buf(const char *path, struct fuse_bufvec *src, off_t offset,
                 struct fuse_file_info *fi) noexcept;
int op_fsync(const char *path, int datasync, struct fuse_file_info *fi) noexcept;
int op_release(const char *path, struct fuse_file_info *fi) noexcept;
int op_fallocate(const char *path, int mode, off_t offset, off_t length,
                 struct fuse_file_info *fi) noexcept;
ssize_t op_copy_file_range(const char *path_in, struct fuse_file_info *fi_in, off_t offset_in,
                           const char *path_out, struct fuse_file_info *fi_out, off_t offset_out,
                           size_t size, int flags) noexcept;
off_t op_lseek(const char *path, off_t offset, int whence, struct fuse_file_info *fi) noexcept;
