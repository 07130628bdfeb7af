// The libfuse 2 edge of wardfs: the operation record libfuse 2 calls, which takes the
// handlers as they are, and its main loop.
#include "wardfs.h"

// Directory ioctls (inode flags of a directory) must be asked for. With --xattr the kernel
// leaves the umask to the daemon, which takes the caller's for each request: the base then
// applies a directory's default ACL in its place, as it does for a process of its own.
static void *init_v2(struct fuse_conn_info *conn)
{
    if ((conn->capable & FUSE_CAP_IOCTL_DIR) != 0)
        conn->want |= FUSE_CAP_IOCTL_DIR;
    if (xattr_enabled && (conn->capable & FUSE_CAP_DONT_MASK) != 0) {
        conn->want |= FUSE_CAP_DONT_MASK;
        caller_umask = true;
    }
    return nullptr;
}

static int ioctl_v2(const char *path, int cmd, void *arg, struct fuse_file_info *fi,
                    unsigned int flags, void *data)
{
    return op_ioctl(path, static_cast<unsigned int>(cmd), arg, fi, flags, data);
}

// The whole record libfuse 2 calls, in the order of its header.
static struct fuse_operations make_operation_table()
{
    struct fuse_operations ops = {};
    ops.getattr = op_getattr;
    ops.readlink = op_readlink;
    ops.mknod = op_mknod;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.symlink = op_symlink;
    ops.rename = op_rename;
    ops.link = op_link;
    ops.chmod = op_chmod;
    ops.chown = op_chown;
    ops.truncate = op_truncate;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.statfs = op_statfs;
    ops.release = op_release;
    ops.fsync = op_fsync;
    ops.setxattr = op_setxattr;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr;
    ops.removexattr = op_removexattr;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.releasedir = op_releasedir;
    ops.init = init_v2;
    ops.access = op_access;
    ops.create = op_create;
    // A truncate through an open file (ftruncate, and the kernel's truncation after an
    // O_TRUNC open) goes to that file's descriptor. Without it libfuse truncates by name, as
    // the caller: another inode than the open one, and refused where the open allowed it.
    ops.ftruncate = truncate_file;
    ops.fgetattr = getattr_file;
    ops.utimens = op_utimens;
    // An open file whose name is gone is served through its descriptor, with no path.
    ops.flag_nullpath_ok = 1;
    // Without this libfuse drops a time-stamp change that sets only one of the two times
    // (touch -a, touch -m) and reports success.
    ops.flag_utime_omit_ok = 1;
    ops.ioctl = ioctl_v2;
    ops.write_buf = op_write_buf;
    ops.read_buf = op_read_buf;
    ops.fallocate = op_fallocate;
    return ops;
}

const struct fuse_operations operation_table = make_operation_table();

int run_fuse(struct fuse_args *args) noexcept
{
    // A removed name is removed from the base at once, also while a process holds it open;
    // libfuse would otherwise rename it to a hidden name until the last close.
    if (fuse_opt_insert_arg(args, 1, "-ohard_remove") == -1)
        return 1;
    serving_requests = true;
    return fuse_main_real(args->argc, args->argv, &operation_table, sizeof(operation_table),
                          nullptr);
}
