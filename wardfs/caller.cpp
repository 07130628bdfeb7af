// Every change reaches the base as the process that asked for it: for the span of one call
// the handling thread takes the caller's effective uid and gid (which the file-system ids
// follow) and its supplementary groups, so the base's own rules (owner, sticky and setgid
// directories, protected links, ACLs, immutable flags, LSMs, reserved blocks and quotas)
// apply to the caller and not to the daemon. Leaving uid 0 takes every capability out of the
// thread's effective set, so nothing the base grants to capabilities (CAP_SYS_RESOURCE for
// reserved blocks and quotas, CAP_SYS_ADMIN for trusted.* attributes, ...) is lent to another
// user; returning to uid 0 gives them back. Linux keeps ids and capabilities per thread, and
// other requests run on other threads meanwhile; glibc's set*id and setgroups would change
// every thread of the daemon, so those system calls are made directly. Each switch reports
// its failure: a request that cannot be made as its caller is refused with EPERM.
#include "wardfs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <linux/capability.h>
#include <mutex>
#include <new>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef SYS_setgroups32
// 32-bit ARM and x86: the plain calls take 16-bit ids.
#define WARDFS_SYS_SETGROUPS SYS_setgroups32
#define WARDFS_SYS_SETRESUID SYS_setresuid32
#define WARDFS_SYS_SETRESGID SYS_setresgid32
#else
#define WARDFS_SYS_SETGROUPS SYS_setgroups
#define WARDFS_SYS_SETRESUID SYS_setresuid
#define WARDFS_SYS_SETRESGID SYS_setresgid
#endif

static int set_thread_groups(const std::vector<gid_t> &groups)
{
    return static_cast<int>(syscall(WARDFS_SYS_SETGROUPS, groups.size(), groups.data()));
}

// The effective uid or gid of this thread alone; the real and saved ids stay the daemon's,
// so the thread can always return to them. -1, errno set, when the kernel refused.
static int set_thread_euid(uid_t uid)
{
    return static_cast<int>(syscall(WARDFS_SYS_SETRESUID, -1, uid, -1));
}

static int set_thread_egid(gid_t gid)
{
    return static_cast<int>(syscall(WARDFS_SYS_SETRESGID, -1, gid, -1));
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

// The daemon's own capability sets, read once.
struct daemon_capabilities {
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    bool read = false;
    daemon_capabilities()
    {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        read = syscall(SYS_capget, &header, sets) == 0;
    }
    bool effective(int cap) const { return (sets[cap / 32].effective & (1u << (cap % 32))) != 0; }
    // Whether the thread's effective set after a return to uid 0 (the permitted set) is the
    // daemon's own.
    bool effective_is_permitted() const
    {
        for (const auto &set : sets)
            if (set.effective != set.permitted)
                return false;
        return true;
    }
};
const daemon_capabilities &own_capabilities()
{
    static const daemon_capabilities caps;
    return caps;
}

// Sets the thread's effective capabilities to the daemon's own less `dropped` (a mask over
// the first 32 capabilities).
int set_thread_capabilities(uint32_t dropped)
{
    const daemon_capabilities &own = own_capabilities();
    if (!own.read)
        return 0;
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3];
    std::copy(std::begin(own.sets), std::end(own.sets), sets);
    sets[0].effective &= ~dropped;
    return static_cast<int>(syscall(SYS_capset, &header, sets));
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

// Set when a thread could not take the daemon's identity back: it then refuses every
// request that needs an identity.
static thread_local bool identity_lost = false;

static bool acts_as_daemon(const struct fuse_context *ctx)
{
    const daemon_ids &own = own_ids();
    return ctx == nullptr || own.uid != 0 || (ctx->uid == own.uid && ctx->gid == own.gid);
}

// A root daemon that leaves uid 0 gets the permitted set back as its effective one on return;
// where the two differed at start, the daemon's own effective set is put back.
static int restore_effective_capabilities()
{
    if (own_capabilities().effective_is_permitted())
        return 0;
    return set_thread_capabilities(0);
}

// Takes the caller's groups, gid and uid, in that order (setgroups needs CAP_SETGID, which
// the thread loses with uid 0); on a failure gives back what it took.
static int take_identity(const std::vector<gid_t> &groups, uid_t uid, gid_t gid)
{
    if (identity_lost)
        return -EPERM;
    if (set_thread_groups(groups) == -1)
        return -EPERM;
    if (set_thread_egid(gid) == -1) {
        set_thread_groups(daemon_groups());
        return -EPERM;
    }
    if (set_thread_euid(uid) == -1) {
        set_thread_egid(own_ids().gid);
        set_thread_groups(daemon_groups());
        return -EPERM;
    }
    return 0;
}

// Back to the daemon's uid (which gives the thread its capabilities back), gid and groups.
static void give_identity_back()
{
    const daemon_ids &own = own_ids();
    if (set_thread_euid(own.uid) == -1 || set_thread_egid(own.gid) == -1 ||
        set_thread_groups(daemon_groups()) == -1 || restore_effective_capabilities() == -1)
        identity_lost = true;
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
    if (active)
        return 0;
    // Root, and a daemon that is not root (which can act as no one else), act as the daemon.
    if (acts_as_daemon(ctx))
        return identity_lost ? -EPERM : 0;
    try {
        daemon_groups();
        groups = caller_groups(ctx);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    uid = ctx->uid;
    gid = ctx->gid;
    if (int res = take_identity(groups, uid, gid); res != 0)
        return res;
    active = true;
    return 0;
}

void caller_scope::suspend() noexcept
{
    if (!active)
        return;
    int saved = errno;
    give_identity_back();
    errno = saved;
}

int caller_scope::resume() noexcept
{
    if (!active)
        return 0;
    if (int res = take_identity(groups, uid, gid); res != 0) {
        active = false; // the thread has its own identity, and keeps it
        return res;
    }
    return 0;
}

caller_scope::~caller_scope()
{
    suspend();
    if (umask_taken)
        umask(0);
}

// Data written for a caller that is not root: the base looks at the writer's file-system
// uid and CAP_SYS_RESOURCE for the reserved blocks (and the capability for quotas), and
// clears set-ID bits for a writer without CAP_FSETID.
static int caller_of_data(uid_t &uid)
{
    if (!serving_requests)
        return 0;
    if (identity_lost)
        return -EPERM;
    const struct fuse_context *ctx = fuse_get_context();
    if (ctx == nullptr || own_ids().uid != 0 || ctx->uid == own_ids().uid)
        return 0;
    uid = ctx->uid;
    return 1;
}

int data_scope::enter() noexcept
{
    uid_t uid;
    int res = caller_of_data(uid);
    if (res <= 0)
        return res;
    // The effective uid: every capability leaves with uid 0.
    if (set_thread_euid(uid) == -1)
        return -EPERM;
    taken = taken_euid;
    return 0;
}

int data_scope::enter_keeping_admin() noexcept
{
    uid_t uid;
    int res = caller_of_data(uid);
    if (res <= 0)
        return res;
    // The file-system uid, read back (setfsuid reports no failure), and no CAP_SYS_RESOURCE
    // or CAP_FSETID; CAP_SYS_ADMIN stays.
    setfsuid(uid);
    if (static_cast<uid_t>(setfsuid(uid)) != uid) {
        setfsuid(own_ids().uid);
        return -EPERM;
    }
    constexpr uint32_t writer_capabilities = (1u << CAP_SYS_RESOURCE) | (1u << CAP_FSETID);
    if (set_thread_capabilities(writer_capabilities) == -1) {
        setfsuid(own_ids().uid);
        return -EPERM;
    }
    taken = taken_fsuid;
    return 0;
}

data_scope::~data_scope()
{
    int saved = errno;
    if (taken == taken_euid &&
        (set_thread_euid(own_ids().uid) == -1 || restore_effective_capabilities() == -1))
        identity_lost = true;
    if (taken == taken_fsuid) {
        setfsuid(own_ids().uid);
        if (static_cast<uid_t>(setfsuid(own_ids().uid)) != own_ids().uid ||
            set_thread_capabilities(0) == -1)
            identity_lost = true;
    }
    errno = saved;
}

bool daemon_has_capability(int cap) noexcept
{
    return own_capabilities().effective(cap);
}

bool may_act_as_others() noexcept
{
    return own_ids().uid != 0 ||
           (daemon_has_capability(CAP_SETUID) && daemon_has_capability(CAP_SETGID));
}

void prepare_identity_switches() noexcept
{
    own_ids();
    own_capabilities();
    daemon_groups();
}
