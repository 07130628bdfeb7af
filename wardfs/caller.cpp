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
#include "caller.h"

#include <fuse.h>

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

// Who the caller is: the daemon itself outside a request, for a daemon that is not root (which
// can act as no one else), and for a caller with the daemon's uid and gid.
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
static int take_full_identity(const std::vector<gid_t> &groups, uid_t uid, gid_t gid)
{
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

// Back to the daemon's file-system ids and groups (setfsuid and setfsgid report no failure,
// so each is read back); false when one could not be taken back.
static bool give_file_system_ids_back()
{
    const daemon_ids &own = own_ids();
    setfsuid(own.uid);
    setfsgid(own.gid);
    return static_cast<uid_t>(setfsuid(own.uid)) == own.uid &&
           static_cast<gid_t>(setfsgid(own.gid)) == own.gid &&
           set_thread_groups(daemon_groups()) == 0;
}

// The caller's groups and file-system ids (the kernel keeps what a backing file is written
// with from them: the base then keeps a set-group-ID bit for a writer in the file's group, as
// it does on a write of the caller's own), and no CAP_SYS_RESOURCE or CAP_FSETID;
// CAP_SYS_ADMIN stays.
static int take_file_system_ids(const std::vector<gid_t> &groups, uid_t uid, gid_t gid)
{
    constexpr uint32_t writer_capabilities = (1u << CAP_SYS_RESOURCE) | (1u << CAP_FSETID);
    setfsgid(gid);
    setfsuid(uid);
    if (set_thread_groups(groups) == -1 || static_cast<gid_t>(setfsgid(gid)) != gid ||
        static_cast<uid_t>(setfsuid(uid)) != uid ||
        set_thread_capabilities(writer_capabilities) == -1) {
        give_file_system_ids_back();
        return -EPERM;
    }
    return 0;
}

or_errno<caller> caller::take(identity how) noexcept
{
    caller who;
    who.how_ = how;
    // Outside libfuse's loop (handlers called directly) there is no request and no caller.
    if (!serving_requests)
        return who;
    if (identity_lost)
        return or_errno<caller>::failure(-EPERM);
    const struct fuse_context *ctx = fuse_get_context();
    if (how == identity::full && caller_umask && ctx != nullptr) {
        if (int res = take_umask(ctx->umask); res != 0)
            return or_errno<caller>::failure(res);
        who.umask_taken_ = true;
    }
    if (acts_as_daemon(ctx))
        return who;
    who.uid_ = ctx->uid;
    who.gid_ = ctx->gid;
    // Data moved by a root caller of another group is the daemon's data: nothing to take.
    if (how != identity::full && who.uid_ == own_ids().uid)
        return who;
    try {
        daemon_groups();
        who.groups_ = caller_groups(ctx);
    } catch (const std::bad_alloc &) {
        return or_errno<caller>::failure(-ENOMEM);
    }
    if (int res = who.take_again(); res != 0)
        return or_errno<caller>::failure(res);
    return who;
}

caller::caller(caller &&other) noexcept
    : how_(other.how_), switched_(other.switched_), umask_taken_(other.umask_taken_),
      uid_(other.uid_), gid_(other.gid_), groups_(std::move(other.groups_))
{
    other.switched_ = false;
    other.umask_taken_ = false;
}

caller::~caller()
{
    give_back();
    if (umask_taken_)
        umask(0);
}

bool caller::in_group(gid_t gid) const noexcept
{
    return gid_ == gid || std::find(groups_.begin(), groups_.end(), gid) != groups_.end();
}

int caller::take_again() noexcept
{
    if (identity_lost)
        return -EPERM;
    int res = 0;
    switch (how_) {
    case identity::full:
    case identity::data:
        res = take_full_identity(groups_, uid_, gid_);
        break;
    case identity::backing_file:
        res = take_file_system_ids(groups_, uid_, gid_);
        break;
    }
    // After a failure the thread has its own identity, and keeps it.
    switched_ = res == 0;
    return res;
}

// Back to the daemon's uid (which gives the thread its capabilities back), gid and groups,
// or file-system uid and capabilities, by what was taken.
void caller::give_back() noexcept
{
    if (!switched_)
        return;
    const int saved = errno;
    const daemon_ids &own = own_ids();
    bool back = true;
    switch (how_) {
    case identity::full:
    case identity::data:
        back = set_thread_euid(own.uid) == 0 && set_thread_egid(own.gid) == 0 &&
               set_thread_groups(daemon_groups()) == 0 && restore_effective_capabilities() == 0;
        break;
    case identity::backing_file:
        back = give_file_system_ids_back() && set_thread_capabilities(0) == 0;
        break;
    }
    if (!back)
        identity_lost = true;
    switched_ = false;
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
