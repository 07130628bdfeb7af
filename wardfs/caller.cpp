// Every change reaches the base as the process that asked for it: for the span of one call
// the handling thread takes the caller's file-system uid and gid and its supplementary
// groups, so the base's own rules (owner, sticky and setgid directories, protected links,
// ACLs, immutable flags, LSMs) apply to the caller and not to the daemon. Linux keeps these
// per thread, and other requests run on other threads meanwhile; glibc's setgroups would
// change every thread of the daemon, so that system call is made directly.
#include "wardfs.h"

#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
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

namespace {

// The daemon's own ids, read once: nothing changes them while it runs.
struct daemon_ids {
    uid_t uid = geteuid();
    gid_t gid = getegid();
};
const daemon_ids &own_ids()
{
    static const daemon_ids ids;
    return ids;
}

// The daemon's own groups, read once: nothing changes them while it runs.
const std::vector<gid_t> &daemon_groups()
{
    static const std::vector<gid_t> groups = [] {
        std::vector<gid_t> own;
        int n = getgroups(0, nullptr);
        own.resize(n > 0 ? static_cast<size_t>(n) : 0);
        n = own.empty() ? 0 : getgroups(static_cast<int>(own.size()), own.data());
        own.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return own;
    }();
    return groups;
}

// libfuse reads a caller's groups from /proc, one file read a request. They are kept for a
// second per thread and identity: a process changes its groups when it drops rights, and
// that comes with a change of uid or gid, which misses the cache.
struct cached_groups {
    pid_t pid;
    uid_t uid;
    gid_t gid;
    std::chrono::steady_clock::time_point read_at;
    std::vector<gid_t> groups;
};
constexpr auto groups_lifetime = std::chrono::seconds(1);
constexpr size_t groups_cache_size = 64;
std::mutex groups_lock;
std::vector<cached_groups> groups_cache;

std::vector<gid_t> read_caller_groups()
{
    // A caller that is gone (or a /proc that is missing) is left with its primary group.
    std::vector<gid_t> theirs(32);
    int n = fuse_getgroups(static_cast<int>(theirs.size()), theirs.data());
    if (n > static_cast<int>(theirs.size())) {
        theirs.resize(static_cast<size_t>(n));
        n = fuse_getgroups(n, theirs.data());
    }
    theirs.resize(n > 0 && n <= static_cast<int>(theirs.size()) ? static_cast<size_t>(n) : 0);
    return theirs;
}

std::vector<gid_t> caller_groups(const struct fuse_context *ctx)
{
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(groups_lock);
        for (const auto &c : groups_cache)
            if (c.pid == ctx->pid && c.uid == ctx->uid && c.gid == ctx->gid &&
                now - c.read_at < groups_lifetime)
                return c.groups;
    }
    std::vector<gid_t> theirs = read_caller_groups();
    std::lock_guard<std::mutex> hold(groups_lock);
    std::erase_if(groups_cache, [&](const cached_groups &c) {
        return now - c.read_at >= groups_lifetime || c.pid == ctx->pid;
    });
    if (groups_cache.size() >= groups_cache_size)
        groups_cache.erase(groups_cache.begin());
    groups_cache.push_back({ctx->pid, ctx->uid, ctx->gid, now, theirs});
    return theirs;
}

} // namespace

bool serving_requests = false;
bool caller_umask = false;

// The umask lives in a process's file-system context, which the daemon's threads share
// until each takes a context of its own.
static int take_umask(mode_t mask)
{
    static thread_local bool own_context = false;
    if (!own_context) {
        if (unshare(CLONE_FS) == -1)
            return negated_errno();
        own_context = true;
    }
    umask(mask);
    return 0;
}

int caller_scope::enter() noexcept
{
    // Outside libfuse's loop (handlers called directly) there is no request and no caller.
    if (!serving_requests)
        return 0;
    const struct fuse_context *ctx = fuse_get_context();
    if (caller_umask && ctx != nullptr && !umask_taken) {
        if (int res = take_umask(ctx->umask); res != 0)
            return res;
        umask_taken = true;
    }
    // Only root can act as another user; an unprivileged daemon acts as itself.
    const daemon_ids &own = own_ids();
    if (active || ctx == nullptr || own.uid != 0 || (ctx->uid == own.uid && ctx->gid == own.gid))
        return 0;
    try {
        daemon_groups();
        groups = caller_groups(ctx);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    uid = ctx->uid;
    gid = ctx->gid;
    if (set_thread_groups(groups) == -1)
        return negated_errno();
    active = true;
    setfsgid(gid);
    setfsuid(uid);
    return 0;
}

void caller_scope::suspend() noexcept
{
    if (!active)
        return;
    // Back to root's file-system ids first: that also gives back the capabilities the
    // kernel took when the file-system uid left 0, which setgroups needs.
    int saved = errno;
    setfsuid(own_ids().uid);
    setfsgid(own_ids().gid);
    set_thread_groups(daemon_groups());
    errno = saved;
}

int caller_scope::resume() noexcept
{
    if (!active)
        return 0;
    if (set_thread_groups(groups) == -1) {
        active = false; // the thread has its own identity, and keeps it
        return negated_errno();
    }
    setfsgid(gid);
    setfsuid(uid);
    return 0;
}

caller_scope::~caller_scope()
{
    suspend();
    if (umask_taken)
        umask(0);
}
