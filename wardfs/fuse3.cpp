// The libfuse 3 edge of wardfs: the same handlers under libfuse 3's signatures (which gained
// a file-info argument or flags), libfuse 2's mount options mapped onto what libfuse 3 has
// for them, and a connection set up for large requests, READDIRPLUS and splice.
#include "file_handle.h"
#include "wardfs.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// libfuse 2 options that libfuse 3 takes only as configuration, set in init.
struct fuse2_settings {
    int use_ino = 0, readdir_ino = 0, direct_io = 0, intr = 0;
    int intr_signal = 0;
};
fuse2_settings fuse2;

#define FUSE2_OPTION(templ, member, value)                                                         \
    {                                                                                              \
        templ, offsetof(fuse2_settings, member), value                                             \
    }
const struct fuse_opt fuse2_option_table[] = {
    FUSE2_OPTION("use_ino", use_ino, 1),
    FUSE2_OPTION("readdir_ino", readdir_ino, 1),
    FUSE2_OPTION("direct_io", direct_io, 1),
    FUSE2_OPTION("intr", intr, 1),
    FUSE2_OPTION("intr_signal=%d", intr_signal, 0),
    // Always so in libfuse 3 (large writes, removal of open files, mounting over a non-empty
    // directory) or no longer meaningful (large_read): accepted and dropped.
    FUSE_OPT_KEY("big_writes", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("hard_remove", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("nonempty", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("large_read", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_END,
};

// The connection options (max_write, splice_*, atomic_o_trunc, writeback_cache, ...), as
// libfuse 3 parses them from the command line; applied in init.
struct fuse_conn_info_opts *conn_options;
// Written in init, before the kernel sends any other request.
bool writeback_cache;
bool passthrough;
// -d: init says which mode the mount runs in.
bool debug;

enum { KEY_DEBUG };
int note_debug(void *, const char *, int key, struct fuse_args *)
{
    if (key == KEY_DEBUG)
        debug = true;
    return 1;
}
const struct fuse_opt debug_option_table[] = {
    FUSE_OPT_KEY("-d", KEY_DEBUG),
    FUSE_OPT_KEY("debug", KEY_DEBUG),
    FUSE_OPT_END,
};

// Kernel passthrough is on wherever it can be: the kernel offers it (6.9 and later), libfuse
// has it (3.17), the daemon may register backing files, the user has not turned it off, and
// the kernel's writeback cache, which it does not combine with passthrough, is off.
const char *passthrough_off_reason(struct fuse_conn_info *conn)
{
#if FUSE_VERSION >= FUSE_MAKE_VERSION(3, 17)
    if (passthrough_disabled)
        return "-o no_passthrough";
    if (writeback_cache)
        return "writeback_cache";
    if ((conn->capable_ext & FUSE_CAP_PASSTHROUGH) == 0)
        return "the kernel does not offer it";
    if (!daemon_has_capability(CAP_SYS_ADMIN)) // registering a backing file takes it
        return "no CAP_SYS_ADMIN";
    return nullptr;
#else
    (void)conn;
    return "this libfuse does not have it (3.17 and later do)";
#endif
}

// Capability flags: libfuse 3.17 moved them to a 64-bit field with calls of their own, and
// takes a change of the old 32-bit field made beside those calls as a conflict.
#if FUSE_VERSION >= FUSE_MAKE_VERSION(3, 17)
bool wants(struct fuse_conn_info *conn, uint64_t flag)
{
    return (conn->want_ext & flag) != 0; // fuse_get_feature_flag tells what the kernel offers
}
void want(struct fuse_conn_info *conn, uint64_t flag)
{
    fuse_set_feature_flag(conn, flag);
}
void do_not_want(struct fuse_conn_info *conn, uint64_t flag)
{
    fuse_unset_feature_flag(conn, flag);
}
#else
bool wants(struct fuse_conn_info *conn, unsigned flag)
{
    return (conn->want & flag) != 0;
}
void want(struct fuse_conn_info *conn, unsigned flag)
{
    if ((conn->capable & flag) != 0)
        conn->want |= flag;
}
void do_not_want(struct fuse_conn_info *conn, unsigned flag)
{
    conn->want &= ~flag;
}
#endif

void *init_v3(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    cfg->use_ino = fuse2.use_ino;
    cfg->readdir_ino = fuse2.readdir_ino;
    // A removed name is removed from the base at once, also while a process holds it open
    // (hard_remove is accepted, and always on). libfuse 3 then hands an open file's request
    // no path once its name is gone; nullpath_ok stays off, so that requests of a file whose
    // name is there name it (records, passthrough, the name's attributes after a copy-up).
    cfg->hard_remove = 1;
    cfg->direct_io = fuse2.direct_io;
    cfg->intr = fuse2.intr;
    if (fuse2.intr_signal != 0)
        cfg->intr_signal = fuse2.intr_signal;
    // The kernel clears set-user-ID bits and capabilities on a write or chown by an
    // unprivileged caller itself, as it does for libfuse 2; left to the daemon, which writes
    // as root, they would stay. libfuse 3.14 does not ask for this by default; a later one
    // that did would not get it.
    do_not_want(conn, FUSE_CAP_HANDLE_KILLPRIV);
#ifdef FUSE_CAP_HANDLE_KILLPRIV_V2
    do_not_want(conn, FUSE_CAP_HANDLE_KILLPRIV_V2);
#endif
    // With asynchronous direct I/O the kernel does not drop the cached pages of a range once
    // an aio O_DIRECT write to it completes: a reader that filled them meanwhile leaves the
    // old data there for every later buffered read. Synchronous direct I/O drops them, as
    // libfuse 2, which has no asynchronous direct I/O, always did. -o async_dio asks for it.
    do_not_want(conn, FUSE_CAP_ASYNC_DIO);
    want(conn, FUSE_CAP_IOCTL_DIR); // inode flags of directories
    fuse_apply_conn_info_opts(conn_options, conn);
    writeback_cache = wants(conn, FUSE_CAP_WRITEBACK_CACHE);
    // With --xattr, POSIX ACLs go to the kernel, which then checks access by them (and
    // implies default_permissions) and leaves the umask to the daemon: the base applies a
    // directory's default ACL, or else the caller's umask, to what the caller creates.
    if (xattr_enabled) {
        want(conn, FUSE_CAP_POSIX_ACL);
        if (wants(conn, FUSE_CAP_POSIX_ACL)) {
            want(conn, FUSE_CAP_DONT_MASK);
            caller_umask = wants(conn, FUSE_CAP_DONT_MASK);
        }
    }
    const char *off = passthrough_off_reason(conn);
#if FUSE_VERSION >= FUSE_MAKE_VERSION(3, 17)
    if (off == nullptr) {
        want(conn, FUSE_CAP_PASSTHROUGH);
        // Opens that cannot pass through use direct I/O; shared mappings of them must work.
        want(conn, FUSE_CAP_DIRECT_IO_ALLOW_MMAP);
        // The kernel refuses to keep a passthrough file's pages (they are the base's own), so
        // libfuse must not ask it to.
        cfg->auto_cache = 0;
        cfg->kernel_cache = 0;
        passthrough_device_fd = fuse_session_fd(fuse_get_session(fuse_get_context()->fuse));
        passthrough = true;
    }
#endif
    if (debug) {
        if (off == nullptr)
            fprintf(stderr, "wardfs: kernel passthrough on\n");
        else
            fprintf(stderr, "wardfs: kernel passthrough off: %s\n", off);
    }
    return nullptr;
}

int rename_v3(const char *from, const char *to, unsigned int flags)
{
    int res = rename_entry(from, to, flags);
    if (res == 0 && passthrough)
        name_moved(from, to, (flags & RENAME_EXCHANGE) != 0);
    return res;
}

// A new link changes the link count and ctime of the inode's other names, which libfuse's
// high-level API shows as inodes of their own: the kernel is told to forget the old name's
// attributes, so `ln a b; stat a` shows two links at once instead of after the timeout.
int link_v3(const char *from, const char *to)
{
    int res = op_link(from, to);
    if (res == 0)
        fuse_invalidate_path(fuse_get_context()->fuse, from);
    return res;
}

// With the writeback cache the kernel also reads through a descriptor opened only for
// writing (to fill a partly written page) and places every write itself, appends included.
void flags_for_writeback(struct fuse_file_info *fi)
{
    if (!writeback_cache)
        return;
    if ((fi->flags & O_ACCMODE) == O_WRONLY)
        fi->flags = (fi->flags & ~O_ACCMODE) | O_RDWR;
    fi->flags &= ~O_APPEND;
}

// With passthrough, a decided open gets its backing file before the reply goes out. The
// kernel writes to a backing file with the rights the daemon had when it registered the file,
// so that is done with the caller's rights for data (no reserved blocks for another user).
int open_or_create_v3(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    flags_for_writeback(fi);
    int res = open_file_common(path, mode, fi);
    if (res == 0 && passthrough) {
        auto writer = caller::take(identity::backing_file);
        res = writer ? pass_through(path, fi) : writer.error();
        if (res != 0)
            op_release(path, fi);
    }
    return res;
}

int open_v3(const char *path, struct fuse_file_info *fi)
{
    return open_or_create_v3(path, 0, fi);
}

int create_v3(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    return open_or_create_v3(path, mode, fi);
}

// A passthrough open changes the base file without the kernel seeing the times change
// (writes through a mapping): once one that changed its file closes, the kernel is told to
// forget the name's attributes, so a stat right after shows the new modification time.
int release_v3(const char *path, struct fuse_file_info *fi)
{
    if (passthrough && end_pass_through(path, fi) && path != nullptr) {
        // The daemon saw none of the writes.
        record_content(path, file_descriptor(fi));
        fuse_invalidate_path(fuse_get_context()->fuse, path);
    }
    return op_release(path, fi);
}

// The base drops set-ID bits on an unprivileged caller's fallocate. The kernel drops only
// those it knows of beforehand (set-user-ID, and set-group-ID of a group-executable file)
// and keeps its copy of the mode until the attribute timeout, so it is told to forget it.
int fallocate_v3(const char *path, int mode, off_t offset, off_t length, struct fuse_file_info *fi)
{
    const int fd = file_descriptor(fi);
    struct stat before, after;
    const bool set_id = fstat(fd, &before) == 0 && (before.st_mode & (S_ISUID | S_ISGID)) != 0;
    int res = op_fallocate(path, mode, offset, length, fi);
    if (res == 0 && set_id && path != nullptr && fstat(fd, &after) == 0 &&
        after.st_mode != before.st_mode)
        fuse_invalidate_path(fuse_get_context()->fuse, path);
    return res;
}

// Setting inode flags changes the base file's ctime, which the kernel does not learn from the
// reply: it is told to forget the name's attributes.
int ioctl_v3(const char *path, unsigned int cmd, void *arg, struct fuse_file_info *fi,
             unsigned int flags, void *data)
{
    int res = op_ioctl(path, cmd, arg, fi, flags, data);
    if (res == 0 && (_IOC_DIR(cmd) & _IOC_WRITE) != 0 && path != nullptr)
        fuse_invalidate_path(fuse_get_context()->fuse, path);
    return res;
}

// Backing files are kept per name, so the table follows what happens to names.
int unlink_v3(const char *path)
{
    int res = op_unlink(path);
    if (res == 0 && passthrough)
        name_gone(path);
    return res;
}

// READDIRPLUS: each entry goes out with its attributes, which spares the kernel a LOOKUP per
// entry. libfuse takes the attributes of an entry filled with FUSE_FILL_DIR_PLUS as complete
// (in offset mode, and always since 3.17), so they are the entry's own, read beside it in
// the open directory; an entry whose attributes cannot be read goes out without them, and
// the kernel looks it up. "." and ".." never carry attributes.
struct listing {
    void *buf;
    fuse_fill_dir_t fill;
    int dir;
};

int fill_entry(void *buf, const char *name, const struct stat *st, off_t offset)
{
    auto *l = static_cast<listing *>(buf);
    struct stat full;
    const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
    if (l->dir >= 0 && !dots && fstatat(l->dir, name, &full, AT_SYMLINK_NOFOLLOW) == 0)
        return l->fill(l->buf, name, &full, offset, FUSE_FILL_DIR_PLUS);
    return l->fill(l->buf, name, st, offset, static_cast<enum fuse_fill_dir_flags>(0));
}

int readdir_v3(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
               struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    listing l = {buf, fill, (flags & FUSE_READDIR_PLUS) != 0 ? open_directory_fd(fi) : -1};
    return op_readdir(path, &l, fill_entry, offset, fi);
}

// The whole record libfuse 3 calls, in the order of its header.
struct fuse_operations make_operation_table()
{
    struct fuse_operations ops = {};
    ops.getattr = getattr_file;
    ops.readlink = op_readlink;
    ops.mknod = op_mknod;
    ops.mkdir = op_mkdir;
    ops.unlink = unlink_v3;
    ops.rmdir = op_rmdir;
    ops.symlink = op_symlink;
    ops.rename = rename_v3;
    ops.link = link_v3;
    ops.chmod = chmod_file;
    ops.chown = chown_file;
    ops.truncate = truncate_file;
    ops.open = open_v3;
    ops.read = op_read;
    ops.write = op_write;
    ops.statfs = op_statfs;
    ops.release = release_v3;
    ops.fsync = op_fsync;
    ops.setxattr = op_setxattr;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr;
    ops.removexattr = op_removexattr;
    ops.opendir = op_opendir;
    ops.readdir = readdir_v3;
    ops.releasedir = op_releasedir;
    ops.init = init_v3;
    ops.access = op_access;
    ops.create = create_v3;
    ops.utimens = utimens_file;
    ops.ioctl = ioctl_v3;
    ops.write_buf = op_write_buf;
    ops.read_buf = op_read_buf;
    ops.fallocate = fallocate_v3;
    ops.copy_file_range = op_copy_file_range;
    ops.lseek = op_lseek;
#if FUSE_VERSION >= FUSE_MAKE_VERSION(3, 18)
    ops.statx = op_statx; // the birth time (stat -c %W), on Linux 6.6 and later
#endif
    return ops;
}

} // namespace

const struct fuse_operations operation_table = make_operation_table();

int run_fuse(struct fuse_args *args) noexcept
{
    // libfuse 3 refuses what it does not know; the options written for libfuse 2 are taken
    // out here and set in init.
    if (fuse_opt_parse(args, &fuse2, fuse2_option_table, nullptr) == -1 ||
        fuse_opt_parse(args, nullptr, debug_option_table, note_debug) == -1)
        return 1;
    conn_options = fuse_parse_conn_info_opts(args);
    if (conn_options == nullptr)
        return 1;
    // libfuse 3.14 leaves its limit of idle worker threads at a value out of its own range and
    // says so at every start ("Ignoring invalid max threads value"). 10 is what libfuse 2
    // keeps and libfuse 3 documents; a max_idle_threads on the command line comes later and
    // wins.
    if (fuse_opt_insert_arg(args, 1, "-omax_idle_threads=10") == -1) {
        free(conn_options);
        return 1;
    }
    serving_requests = true;
    // fuse_main passes the library version the program was built against (since 3.17), so
    // libfuse lays its option and operation records out as this build expects them.
    int res = fuse_main(args->argc, args->argv, &operation_table, nullptr);
    free(conn_options);
    return res;
}
