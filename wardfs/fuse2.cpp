// The libfuse 2 edge of wardfs: the operation record libfuse 2 calls, which takes the
// handlers as they are, and its main loop.
#include "wardfs.h"

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
    ops.readdir = op_readdir;
    ops.access = op_access;
    ops.create = op_create;
    ops.utimens = op_utimens;
    ops.write_buf = op_write_buf;
    ops.read_buf = op_read_buf;
    ops.fallocate = op_fallocate;
    // Without this libfuse drops a time-stamp change that sets only one of the two times
    // (touch -a, touch -m) and reports success.
    ops.flag_utime_omit_ok = 1;
    return ops;
}

const struct fuse_operations operation_table = make_operation_table();

int run_fuse(struct fuse_args *args) noexcept
{
    return fuse_main_real(args->argc, args->argv, &operation_table, sizeof(operation_table),
                          nullptr);
}
