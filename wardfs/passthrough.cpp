// Kernel FUSE passthrough (libfuse 3.17 and later): once the guard has decided an open, the
// descriptor it reached is registered with the kernel as the open's backing file, and reads,
// writes, splice and mmap then go to the base without a round trip through the daemon.
//
// The kernel keeps one io mode per kernel inode, and libfuse's high-level API keeps one kernel
// inode per name. While a name has passthrough opens, every other open of it must pass
// through to the same backing file (or fail with EIO); while it has cached opens, none may
// pass through, and direct I/O opens may live beside them. So modes are kept per name:
//   - The first open of a name decides: passthrough, except that with --copyup a shared
//     file is opened cached, since a copy-up may give its name another inode while it is
//     open, and the copy's writes must never reach the shared inode's backing file.
//   - Later opens of a name with passthrough opens share its backing id if they reach the
//     same inode. One that reaches another (the base changed beside the mount, or a copy-up
//     of a file that gained a link while open) fails with ESTALE until the old opens close.
//   - Later opens of a name with cached opens are cached too; one that reaches another inode,
//     or writes, uses direct I/O, so it neither reads the old inode's pages nor leaves its
//     own data where the old opens read.
#include "file_handle.h"
#include "wardfs.h"

#if FUSE_VERSION >= FUSE_MAKE_VERSION(3, 17)

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <unordered_map>

// From the kernel's FUSE interface (6.9 and later), which Debian 12's headers predate.
struct backing_map {
    int32_t fd;
    uint32_t flags;
    uint64_t padding;
};
#define BACKING_OPEN _IOW(229, 1, struct backing_map)
#define BACKING_CLOSE _IOW(229, 2, uint32_t)

int passthrough_device_fd = -1;

namespace {

struct name_mode {
    dev_t dev;
    ino_t ino;
    int backing_id; // 0: cached opens
    unsigned opens;
};

std::mutex lock;
// The mode of each name with opens, by the name as the mount shows it. A name unlinked or
// renamed over while its opens last is taken out here; its entry lives on in the opens below
// until the last one closes.
std::map<std::string, std::shared_ptr<name_mode>> by_name;
// The entry of each open, by the descriptor it holds, with the file's change time at open.
struct open_record {
    std::shared_ptr<name_mode> mode;
    struct timespec changed;
};
std::unordered_map<int, open_record> by_descriptor;
bool failure_said;

int register_backing(int fd, const char *path)
{
    backing_map map = {fd, 0, 0};
    const int id = ioctl(passthrough_device_fd, BACKING_OPEN, &map);
    if (id > 0)
        return id;
    if (!failure_said) {
        fprintf(stderr, "wardfs: passthrough of %s failed (%s); such opens are cached\n", path,
                strerror(errno));
        failure_said = true;
    }
    return 0;
}

void close_backing(int id)
{
    uint32_t closing = static_cast<uint32_t>(id);
    ioctl(passthrough_device_fd, BACKING_CLOSE, &closing);
}

} // namespace

int pass_through(const char *path, struct fuse_file_info *fi) noexcept
{
    const int fd = file_descriptor(fi);
    struct stat st;
    if (fstat(fd, &st) == -1)
        return negated_errno();
    const bool writes = (fi->flags & O_ACCMODE) != O_RDONLY;
    try {
        std::lock_guard<std::mutex> guard(lock);
        std::shared_ptr<name_mode> mode;
        if (auto named = by_name.find(path); named != by_name.end()) {
            mode = named->second;
            const bool same = mode->dev == st.st_dev && mode->ino == st.st_ino;
            if (mode->backing_id != 0 && !same)
                return -ESTALE;
            if (mode->backing_id == 0 && (!same || writes))
                fi->direct_io = 1;
        } else {
            const int id = copyup_enabled && shared_inode(st) ? 0 : register_backing(fd, path);
            mode = std::make_shared<name_mode>(name_mode{st.st_dev, st.st_ino, id, 0});
            try {
                by_name.emplace(path, mode);
            } catch (...) {
                if (id != 0)
                    close_backing(id);
                throw;
            }
        }
        by_descriptor.emplace(fd, open_record{mode, st.st_ctim});
        mode->opens++;
        fi->backing_id = mode->backing_id;
        return 0;
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

bool end_pass_through(const char *path, const struct fuse_file_info *fi) noexcept
{
    const int fd = file_descriptor(fi);
    std::lock_guard<std::mutex> guard(lock);
    auto open = by_descriptor.find(fd);
    if (open == by_descriptor.end())
        return false;
    std::shared_ptr<name_mode> mode = std::move(open->second.mode);
    const struct timespec then = open->second.changed;
    by_descriptor.erase(open);
    struct stat st;
    const bool changed = mode->backing_id != 0 && fstat(fd, &st) == 0 &&
                         (st.st_ctim.tv_sec != then.tv_sec || st.st_ctim.tv_nsec != then.tv_nsec);
    if (--mode->opens != 0)
        return changed;
    if (mode->backing_id != 0)
        close_backing(mode->backing_id);
    // The name may have moved since the open; it is found by its entry, not by the path
    // libfuse hands to release.
    auto named = path != nullptr ? by_name.find(path) : by_name.end();
    if (named == by_name.end() || named->second != mode)
        named = std::find_if(by_name.begin(), by_name.end(),
                             [&](const auto &entry) { return entry.second == mode; });
    if (named != by_name.end())
        by_name.erase(named);
    return changed;
}

// Names below a directory are "dir/..."; the mount's root is "/".
static bool below(const std::string &name, const std::string &dir)
{
    return name.size() > dir.size() && name.compare(0, dir.size(), dir) == 0 &&
           name[dir.size()] == '/';
}

void name_gone(const char *path) noexcept
{
    std::lock_guard<std::mutex> guard(lock);
    by_name.erase(path);
}

void name_moved(const char *from, const char *to, bool exchanged) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(lock);
        const std::string old_name = from, new_name = to;
        std::map<std::string, std::shared_ptr<name_mode>> moved;
        for (auto it = by_name.begin(); it != by_name.end();) {
            std::string renamed;
            if (it->first == old_name || below(it->first, old_name))
                renamed = new_name + it->first.substr(old_name.size());
            else if (it->first == new_name || below(it->first, new_name))
                renamed = exchanged ? old_name + it->first.substr(new_name.size()) : "";
            else {
                ++it;
                continue;
            }
            if (!renamed.empty())
                moved.emplace(renamed, std::move(it->second));
            it = by_name.erase(it);
        }
        by_name.merge(moved);
    } catch (const std::bad_alloc &) {
        // A name left out costs its next open: it is taken as the first, and the kernel may
        // refuse it while the old opens last.
    }
}

#else

// Before libfuse 3.17 there is no passthrough, and init never turns it on.
int passthrough_device_fd = -1;
int pass_through(const char *, struct fuse_file_info *) noexcept
{
    return 0;
}
bool end_pass_through(const char *, const struct fuse_file_info *) noexcept
{
    return false;
}
void name_gone(const char *) noexcept {}
void name_moved(const char *, const char *, bool) noexcept {}

#endif
