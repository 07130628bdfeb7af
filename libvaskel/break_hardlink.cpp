// vaskel_break_hardlink: gives one name of a shared inode a private copy of its own.
// The copy is built beside the name and renamed over it in one step, so the name always
// refers to either the whole old inode or the whole copy. The work is done in negative
// errno; one adapter at the end turns a failure into the GError the callers see.
#include "vaskel.h"
#include "unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gio/gio.h>
#include <linux/fs.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// What failed, for the message: the step and its negative errno.
struct step_error {
    const char *step = nullptr;
    int err = 0;
};

int fail(step_error &e, const char *step, int err)
{
    e.step = step;
    e.err = err;
    return err;
}

// GIO's codes for the errno values the callers tell apart.
int gio_code_for_errno(int err)
{
    switch (err) {
    case ENOENT:
        return G_IO_ERROR_NOT_FOUND;
    case EISDIR:
        return G_IO_ERROR_IS_DIRECTORY;
    case ENOSPC:
    case EDQUOT:
        return G_IO_ERROR_NO_SPACE;
    case EACCES:
    case EPERM:
        return G_IO_ERROR_PERMISSION_DENIED;
    default:
        return G_IO_ERROR_FAILED;
    }
}

bool same_inode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Content changes that a copy in progress would miss.
bool changed_since(const struct stat &before, const struct stat &now)
{
    return before.st_size != now.st_size || before.st_mtim.tv_sec != now.st_mtim.tv_sec ||
           before.st_mtim.tv_nsec != now.st_mtim.tv_nsec ||
           before.st_ctim.tv_sec != now.st_ctim.tv_sec ||
           before.st_ctim.tv_nsec != now.st_ctim.tv_nsec;
}

// A temporary name in the same directory: the fixed prefix marks it as never a real entry.
std::string temporary_name()
{
    unsigned char raw[6];
    if (getrandom(raw, sizeof raw, GRND_NONBLOCK) != sizeof raw) {
        // 64 bits on every target: a 32-bit long would be read past its end.
        uint64_t v = static_cast<uint64_t>(getpid()) ^ reinterpret_cast<uintptr_t>(raw) ^
                     static_cast<uint64_t>(time(nullptr)) << 20;
        memcpy(raw, &v, sizeof raw);
    }
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".vaskel-copyup-";
    for (unsigned char c : raw)
        name += digits[c % 36];
    return name;
}

// Copies [from, to) of src into dst at the same offsets: copy_file_range in large chunks,
// falling back to a bounded read/write loop where the kernel cannot copy between the two.
int copy_range(int src, int dst, off_t from, off_t to, bool &use_cfr, step_error &e)
{
    constexpr size_t chunk = size_t{1} << 30;
    off_t in = from, out = from;
    while (use_cfr && in < to) {
        size_t len = static_cast<size_t>(std::min<off_t>(to - in, chunk));
        ssize_t n = copy_file_range(src, &in, dst, &out, len, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return fail(e, "copy data", -EIO); // the source shrank under us
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return fail(e, "copy data", -errno);
        use_cfr = false;
    }
    std::vector<char> buf;
    while (in < to) {
        if (buf.empty())
            buf.resize(1 << 20);
        size_t len = static_cast<size_t>(std::min<off_t>(to - in, buf.size()));
        ssize_t n = pread(src, buf.data(), len, in);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(e, "read data", -errno);
        if (n == 0)
            return fail(e, "read data", -EIO);
        for (ssize_t done = 0; done < n;) {
            ssize_t w = pwrite(dst, buf.data() + done, n - done, in + done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return fail(e, "write data", -errno);
            done += w;
        }
        in += n;
    }
    return 0;
}

// Copies the content: a reflink where the file system shares extents, else the data regions
// one by one so holes stay holes, then sets the size (a trailing hole has no data region).
int copy_content(int src, int dst, off_t size, step_error &e)
{
    if (size > 0 && ioctl(dst, FICLONE, src) == 0)
        return 0;
    bool use_cfr = true;
    off_t pos = 0;
    while (pos < size) {
        off_t data = lseek(src, pos, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break; // only a hole is left
        off_t hole = data < 0 ? size : lseek(src, data, SEEK_HOLE);
        if (data < 0) // no SEEK_DATA here: copy everything
            data = pos;
        if (hole < 0)
            hole = size;
        hole = std::min(hole, size);
        if (data >= hole)
            break;
        if (int r = copy_range(src, dst, data, hole, use_cfr, e); r < 0)
            return r;
        pos = hole;
    }
    if (ftruncate(dst, size) < 0)
        return fail(e, "set size", -errno);
    return 0;
}

// The names of a file's extended attributes, NUL-terminated one after another; none where
// the file system has no extended attributes.
int list_xattrs(int fd, std::vector<char> &names, step_error &e)
{
    names.clear();
    for (;;) {
        ssize_t n = flistxattr(fd, nullptr, 0);
        if (n < 0 && (errno == ENOTSUP || errno == ENOSYS))
            return 0;
        if (n < 0)
            return fail(e, "list extended attributes", -errno);
        if (n == 0)
            return 0;
        names.resize(static_cast<size_t>(n));
        n = flistxattr(fd, names.data(), names.size());
        if (n < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (n < 0)
            return fail(e, "list extended attributes", -errno);
        names.resize(static_cast<size_t>(n));
        return 0;
    }
}

bool listed(const std::vector<char> &names, const char *name)
{
    for (size_t i = 0; i < names.size(); i += strlen(&names[i]) + 1)
        if (strcmp(&names[i], name) == 0)
            return true;
    return false;
}

// Gives the copy exactly the original's extended attributes (none with `skip`): what the new
// file took from its directory (a default ACL) and the original does not have is removed.
int copy_xattrs(int src, int dst, bool skip, step_error &e)
{
    std::vector<char> names, inherited;
    if (!skip)
        if (int r = list_xattrs(src, names, e); r < 0)
            return r;
    if (int r = list_xattrs(dst, inherited, e); r < 0)
        return r;
    for (size_t i = 0; i < inherited.size(); i += strlen(&inherited[i]) + 1) {
        const char *name = &inherited[i];
        if (!listed(names, name) && fremovexattr(dst, name) < 0 && errno != ENODATA)
            return fail(e, "remove an inherited extended attribute", -errno);
    }
    std::vector<char> value;
    for (size_t i = 0; i < names.size(); i += strlen(&names[i]) + 1) {
        const char *name = &names[i];
        ssize_t n = fgetxattr(src, name, nullptr, 0);
        if (n < 0 && errno == ENODATA)
            continue; // removed meanwhile
        if (n < 0)
            return fail(e, "read extended attribute", -errno);
        value.resize(static_cast<size_t>(n));
        n = fgetxattr(src, name, value.data(), value.size());
        if (n < 0)
            return fail(e, "read extended attribute", -errno);
        if (fsetxattr(dst, name, value.data(), static_cast<size_t>(n), 0) < 0 && errno != ENOTSUP)
            return fail(e, "write extended attribute", -errno);
    }
    return 0;
}

// Another copy-up of this name can finish between our check and our rename; within one
// process this lock closes that window, so exactly one private copy survives.
std::mutex publish_lock;

// Renames the finished copy `tmp` over `name` if `name` still refers to `orig`.
// *replaced is set to false when another copy-up got there first; the caller then drops its
// copy and succeeds.
int publish(int pdfd, const std::string &tmp, const char *name, const struct stat &orig,
            bool &replaced, step_error &e)
{
    std::lock_guard<std::mutex> hold(publish_lock);
    struct stat now;
    if (fstatat(pdfd, name, &now, AT_SYMLINK_NOFOLLOW) < 0)
        return fail(e, "look up the name again", -errno);
    if (!same_inode(now, orig)) {
        if (now.st_nlink > 1 || S_ISDIR(now.st_mode))
            return fail(e, "check the name", -EAGAIN); // replaced, but not by a private copy
        replaced = false;
        return 0;
    }
    if (renameat(pdfd, tmp.c_str(), pdfd, name) < 0)
        return fail(e, "rename the copy over the name", -errno);
    replaced = true;
    return 0;
}

// Links an O_TMPFILE inode into the directory under a fresh temporary name.
int link_tmpfile(int fd, int pdfd, std::string &tmp, step_error &e)
{
    char proc_path[64];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    for (int attempt = 0; attempt < 100; attempt++) {
        tmp = temporary_name();
        // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc serves everyone else.
        if (linkat(fd, "", pdfd, tmp.c_str(), AT_EMPTY_PATH) == 0 ||
            linkat(AT_FDCWD, proc_path, pdfd, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        if (errno != EEXIST)
            return fail(e, "link the copy", -errno);
    }
    return fail(e, "link the copy", -EEXIST);
}

// A new file for the copy: unnamed (O_TMPFILE) where the file system has it, so a crash in
// the middle of the copy leaves nothing behind; else a named temporary.
int create_copy(int pdfd, std::string &tmp, unique_fd &out, step_error &e)
{
    int fd = openat(pdfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        tmp.clear();
        out.reset(fd);
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return fail(e, "create the copy", -errno);
    for (int attempt = 0; attempt < 100; attempt++) {
        tmp = temporary_name();
        fd = openat(pdfd, tmp.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            out.reset(fd);
            return 0;
        }
        if (errno != EEXIST)
            return fail(e, "create the copy", -errno);
    }
    return fail(e, "create the copy", -EEXIST);
}

int break_regular(int pdfd, const char *name, bool skip_xattrs, step_error &e)
{
    unique_fd src(openat(pdfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!src)
        return fail(e, "open", -errno);
    struct stat st;
    if (fstat(src.get(), &st) < 0)
        return fail(e, "stat", -errno);
    if (st.st_nlink <= 1)
        return 0;

    std::string tmp;
    unique_fd dst;
    if (int r = create_copy(pdfd, tmp, dst, e); r < 0)
        return r;
    // From here on a named temporary must go on every failure path.
    auto drop = [&](int r) {
        if (!tmp.empty())
            unlinkat(pdfd, tmp.c_str(), 0);
        return r;
    };

    // A file changed beside us while we copied is copied again, a few times at most.
    for (int attempt = 0;; attempt++) {
        if (int r = copy_content(src.get(), dst.get(), st.st_size, e); r < 0)
            return drop(r);
        struct stat after;
        if (fstat(src.get(), &after) < 0)
            return drop(fail(e, "stat", -errno));
        if (!changed_since(st, after))
            break;
        if (attempt == 3)
            return drop(fail(e, "copy data (the file kept changing)", -EAGAIN));
        st = after;
        if (ftruncate(dst.get(), 0) < 0)
            return drop(fail(e, "set size", -errno));
    }

    if (fchown(dst.get(), st.st_uid, st.st_gid) < 0)
        return drop(fail(e, "set owner", -errno));
    // After the chown, which clears set-user-ID and set-group-ID bits.
    if (fchmod(dst.get(), st.st_mode & 07777) < 0)
        return drop(fail(e, "set mode", -errno));
    if (int r = copy_xattrs(src.get(), dst.get(), skip_xattrs, e); r < 0)
        return drop(r);
    // Again: taking away an inherited access ACL leaves its mask in the group bits.
    if (fchmod(dst.get(), st.st_mode & 07777) < 0)
        return drop(fail(e, "set mode", -errno));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(dst.get(), times) < 0)
        return drop(fail(e, "set times", -errno));

    if (tmp.empty())
        if (int r = link_tmpfile(dst.get(), pdfd, tmp, e); r < 0)
            return r;
    bool replaced = false;
    int r = publish(pdfd, tmp, name, st, replaced, e);
    if (r < 0 || !replaced)
        return drop(r);
    return 0;
}

int break_symlink(int pdfd, const char *name, const struct stat &st, step_error &e)
{
    std::vector<char> target(static_cast<size_t>(st.st_size) + 2);
    for (;;) {
        ssize_t n = readlinkat(pdfd, name, target.data(), target.size());
        if (n < 0)
            return fail(e, "read the link", -errno);
        if (static_cast<size_t>(n) < target.size()) {
            target[static_cast<size_t>(n)] = '\0';
            break;
        }
        target.resize(target.size() * 2);
    }
    std::string tmp;
    for (int attempt = 0;; attempt++) {
        tmp = temporary_name();
        if (symlinkat(target.data(), pdfd, tmp.c_str()) == 0)
            break;
        if (errno != EEXIST || attempt == 100)
            return fail(e, "create the link", -errno);
    }
    auto drop = [&](int r) {
        unlinkat(pdfd, tmp.c_str(), 0);
        return r;
    };
    if (fchownat(pdfd, tmp.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) < 0)
        return drop(fail(e, "set owner", -errno));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(pdfd, tmp.c_str(), times, AT_SYMLINK_NOFOLLOW) < 0)
        return drop(fail(e, "set times", -errno));
    bool replaced = false;
    int r = publish(pdfd, tmp, name, st, replaced, e);
    if (r < 0 || !replaced)
        return drop(r);
    return 0;
}

int break_hardlink(int dfd, const char *path, bool skip_xattrs, step_error &e)
{
    // Work inside the name's own directory, so the copy and the rename stay there.
    std::string full(path);
    while (full.size() > 1 && full.back() == '/')
        full.pop_back();
    size_t slash = full.rfind('/');
    const std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    const std::string dir =
        slash == std::string::npos ? std::string(".") : full.substr(0, slash == 0 ? 1 : slash);
    if (name.empty() || name == "." || name == ".." || name == "/")
        return fail(e, "look up", -EISDIR);

    unique_fd pdfd(openat(dfd, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    if (!pdfd)
        return fail(e, "open the directory", -errno);
    struct stat st;
    if (fstatat(pdfd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        return fail(e, "look up", -errno);
    if (S_ISDIR(st.st_mode))
        return fail(e, "look up", -EISDIR);
    if (st.st_nlink <= 1)
        return 0;
    if (S_ISLNK(st.st_mode))
        return break_symlink(pdfd.get(), name.c_str(), st, e);
    if (!S_ISREG(st.st_mode))
        return fail(e, "look up (not a regular file or symbolic link)", -EINVAL);
    return break_regular(pdfd.get(), name.c_str(), skip_xattrs, e);
}

} // namespace

extern "C" gboolean vaskel_break_hardlink(int dfd, const char *path, gboolean skip_xattrs,
                                          GCancellable *cancellable, GError **error)
{
    (void)cancellable;
    step_error e;
    int r = break_hardlink(dfd, path, skip_xattrs != FALSE, e);
    if (r == 0)
        return TRUE;
    g_set_error(error, G_IO_ERROR, gio_code_for_errno(-r), "Breaking hard link of \"%s\": %s: %s",
                path, e.step, g_strerror(-r));
    return FALSE;
}
