// The libfuse 2 edge of wardfs: the operation record libfuse 2 calls, which takes the
// handlers as they are, and its main loop.
#include "wardfs.h"

static struct fuse_operations make_operation_table()
{
    struct fuse_operations ops = {};
    set_shared_operations(&ops);
    ops.getattr = op_getattr;
    ops.fgetattr = getattr_file;
    ops.rename = op_rename;
    ops.chmod = op_chmod;
    ops.chown = op_chown;
    ops.truncate = op_truncate;
    // A truncate through an open file (ftruncate, and the kernel's truncation after an
    // O_TRUNC open) goes to that file's descriptor. Without it libfuse truncates by name, as
    // the caller: another inode than the open one, and refused where the open allowed it.
    ops.ftruncate = truncate_file;
    ops.open = op_open;
    ops.readdir = op_readdir;
    ops.create = op_create;
    ops.utimens = op_utimens;
    // Without this libfuse drops a time-stamp change that sets only one of the two times
    // (touch -a, touch -m) and reports success.
    ops.flag_utime_omit_ok = 1;
    return ops;
}

const struct fuse_operations operation_table = make_operation_table();

int run_fuse(struct fuse_args *args) noexcept
{
    serving_requests = true;
    return fuse_main_real(args->argc, args->argv, &operation_table, sizeof(operation_table),
                          nullptr);
}
