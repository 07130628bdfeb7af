// New entries belong to the process that asked for them, as on the base directory itself:
// for the span of one creating call the handling thread takes the caller's file-system uid
// and gid and its supplementary groups, so the base's own rules (owner, setgid directories,
// permission) apply to the caller and not to the daemon. Linux keeps these per thread, and
// other requests run on other threads meanwhile; glibc's setgroups would change every thread
// of the daemon, so that system call is made directly.
#include "wardfs.h"

#include <cerrno>
#include <new>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef SYS_setgroups32
// 32-bit ARM and x86: the plain call takes 16-bit group ids.
#define WARDFS_SYS_SETGROUPS SYS_setgroups32
#else
#define WARDFS_SYS_SETGROUPS SYS_setgroups
#endif

static int set_thread_groups(const std::vector<gid_t> &groups)
{
    return static_cast<int>(syscall(WARDFS_SYS_SETGROUPS, groups.size(), groups.data()));
}

int caller_scope::enter() noexcept
{
    const struct fuse_context *ctx = fuse_get_context();
    // Only root can act as another user; an unprivileged daemon's entries stay its own.
    if (ctx == nullptr || geteuid() != 0 || (ctx->uid == geteuid() && ctx->gid == getegid()))
        return 0;
    try {
        int own = getgroups(0, nullptr);
        own_groups.resize(own > 0 ? static_cast<size_t>(own) : 0);
        if (own > 0 && getgroups(own, own_groups.data()) != own)
            return negated_errno();
        // The caller's groups, as /proc shows them; a caller that is gone (or a /proc that
        // is missing) leaves it with its primary group only.
        std::vector<gid_t> theirs(32);
        int n = fuse_getgroups(static_cast<int>(theirs.size()), theirs.data());
        if (n > static_cast<int>(theirs.size())) {
            theirs.resize(static_cast<size_t>(n));
            n = fuse_getgroups(n, theirs.data());
        }
        theirs.resize(n > 0 && n <= static_cast<int>(theirs.size()) ? static_cast<size_t>(n) : 0);
        if (set_thread_groups(theirs) == -1)
            return negated_errno();
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    active = true;
    setfsgid(ctx->gid);
    setfsuid(ctx->uid);
    return 0;
}

caller_scope::~caller_scope()
{
    if (!active)
        return;
    // Back to root's file-system ids first: that also gives back the capabilities the
    // kernel took when the file-system uid left 0, which setgroups needs.
    int saved = errno;
    setfsuid(geteuid());
    setfsgid(getegid());
    set_thread_groups(own_groups);
    errno = saved;
}
