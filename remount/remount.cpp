// vaskel-remount: run once during boot. Creates the boot marker, makes /sysroot and the
// mounts below it private, and on a writable root remounts /sysroot and /var writable.
#include "boot_marker.h"

#include <cerrno>
#include <cstdio>
#include <err.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

static const char *const remount_targets[] = {"/sysroot", "/var", nullptr};

// The per-mount flags a remount would otherwise drop. Making a mount writable must not
// make it weaker: nosuid, nodev, noexec and the time-stamp modes are carried over.
static unsigned long kept_mount_flags(unsigned long st_flags)
{
    static const struct {
        unsigned long st;
        unsigned long ms;
    } map[] = {
        {ST_NOSUID, MS_NOSUID},           {ST_NODEV, MS_NODEV},
        {ST_NOEXEC, MS_NOEXEC},           {ST_NOATIME, MS_NOATIME},
        {ST_NODIRATIME, MS_NODIRATIME},   {ST_RELATIME, MS_RELATIME},
        {ST_SYNCHRONOUS, MS_SYNCHRONOUS},
    };
    unsigned long flags = 0;
    for (const auto &m : map)
        if (st_flags & m.st)
            flags |= m.ms;
    return flags;
}

int main()
{
    touch_boot_marker();

    if (mount("none", "/sysroot", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
        perror("warning: While remounting /sysroot MS_PRIVATE");

    struct statvfs root;
    if (statvfs("/", &root) == -1)
        err(1, "statvfs(%s)", "/");
    if (root.f_flag & ST_RDONLY)
        return 0;

    for (const char *const *target = remount_targets; *target != nullptr; target++) {
        const char *path = *target;
        struct stat st;
        if (lstat(path, &st) == -1 || S_ISLNK(st.st_mode))
            continue;
        struct statvfs vfs;
        if (statvfs(path, &vfs) == -1 || !(vfs.f_flag & ST_RDONLY))
            continue;
        unsigned long flags = MS_REMOUNT | MS_SILENT | kept_mount_flags(vfs.f_flag);
        if (mount(path, path, nullptr, flags, nullptr) == -1) {
            if (errno == EINVAL)
                continue;
            err(1, "failed to remount %s", path);
        }
        printf("Remounted: %s\n", path);
    }
    return 0;
}
