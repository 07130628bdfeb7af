// The identity a request is served with: the thread takes its caller's for the span of the
// request, so the base's own rules decide each change as they would for the caller.
#pragma once

#include "path_errno.h"

#include <sys/types.h>
#include <vector>

// What of the caller's identity the thread takes.
enum class identity {
    // Effective uid and gid (which the file-system ids follow) and supplementary groups,
    // without capabilities; with caller_umask also the caller's umask.
    full,
    // The same ids without the umask: data moved for the caller counts as its own for
    // reserved blocks, quotas and the clearing of set-ID bits (a set-group-ID bit stays for a
    // writer in the file's group).
    data,
    // The file-system uid and gid and the groups, without CAP_SYS_RESOURCE and CAP_FSETID;
    // CAP_SYS_ADMIN stays, for registering a backing file, whose writes the kernel makes with
    // the rights of that moment.
    backing_file,
};

// The caller of the current request, its identity taken by the thread while the object lives;
// the destructor gives the thread its own identity back, keeping errno. The caller is the
// daemon itself (nothing is switched) outside libfuse's loop, for a root caller with the
// daemon's gid, and for every caller of a daemon that is not root, which can act as no one
// else. A thread that once failed to return to its own identity refuses every request.
class caller {
  public:
    // The caller, its identity taken; or -EPERM when the kernel refused the switch (nothing is
    // then done as the daemon instead), or -ENOMEM.
    static or_errno<caller> take(identity how = identity::full) noexcept;

    caller(caller &&other) noexcept;
    caller(const caller &) = delete;
    caller &operator=(const caller &) = delete;
    caller &operator=(caller &&) = delete;
    ~caller();

    // Whether the thread acts as another user than the daemon.
    bool switched() const noexcept { return switched_; }
    uid_t uid() const noexcept { return uid_; }
    bool in_group(gid_t gid) const noexcept;

    // Runs `step` (0 or a negated errno) with the daemon's own rights, then takes the
    // caller's identity back; the step's failure wins over a failure to return.
    template <typename Step> int with_daemon_rights(Step step) noexcept
    {
        give_back();
        int res = step();
        if (int back = take_again(); back != 0 && res == 0)
            res = back;
        return res;
    }

  private:
    caller() = default;
    int take_again() noexcept;
    void give_back() noexcept;

    identity how_ = identity::full;
    bool switched_ = false;
    bool umask_taken_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::vector<gid_t> groups_;
};

// Set by the libfuse edge before its loop starts: from then on handlers serve requests, each
// as its caller.
extern bool serving_requests;
// Set in init when the kernel leaves the umask to the daemon (POSIX ACLs handed to the
// kernel): a full identity then also takes the caller's umask, which the base applies to
// what is created where no default ACL decides the mode.
extern bool caller_umask;

// Reads the daemon's own ids, groups and capabilities; before the loop starts.
void prepare_identity_switches() noexcept;
// Whether the daemon's own effective set, as it started, holds the capability `cap`.
bool daemon_has_capability(int cap) noexcept;
// Whether the daemon can act as other users (CAP_SETUID and CAP_SETGID), or, not being root,
// serves them as itself.
bool may_act_as_others() noexcept;
