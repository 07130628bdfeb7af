// Randomized parity: one seeded sequence of operations runs on a plain reference directory
// and through a wardfs mount of an identical tree; every result, every errno and the final
// trees must agree. Where a shared file is written, truncated, chmod-ed or chown-ed, the
// reference applies the same rule as the mount (EROFS, or a private copy with --copyup).
//
// PARITY_SEEDS (default 16), PARITY_FIRST_SEED (0) and PARITY_OPS (400) size the run; a
// failure prints the command line that replays its seed.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

unsigned long env_number(const char *name, unsigned long fallback)
{
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' ? strtoul(v, nullptr, 10) : fallback;
}

// What one operation gave back: its result, its errno and any data it read.
struct outcome {
    long ret = 0;
    int err = 0;
    std::string data;
    bool operator==(const outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const outcome &o)
{
    os << "ret " << o.ret;
    if (o.ret < 0)
        os << " (" << strerrorname_np(o.err) << ")";
    if (!o.data.empty())
        os << ", " << o.data.size() << " bytes of data";
    return os;
}

outcome result_of(long ret)
{
    return {ret, ret < 0 ? errno : 0, {}};
}

// One randomly drawn operation with all its arguments, applied to either tree.
struct operation {
    enum kind {
        create,
        write,
        truncate_to,
        rename_to,
        link_to,
        unlink_it,
        mkdir_it,
        rmdir_it,
        symlink_to,
        chmod_it,
        lchown_it,
        utimens_it,
        read_it,
        readlink_it,
        readdir_it,
        count
    } what;
    std::string path, other; // other: second path, or a symbolic link's target
    int flags = 0;
    unsigned mode = 0;
    off_t offset = 0;
    std::string bytes;
    std::string describe() const
    {
        static const char *names[] = {"create", "write",   "truncate", "rename",   "link",
                                      "unlink", "mkdir",   "rmdir",    "symlink",  "chmod",
                                      "lchown", "utimens", "read",     "readlink", "readdir"};
        return std::string(names[what]) + " '" + path + "'" +
               (other.empty() ? "" : " '" + other + "'") + " flags " + std::to_string(flags) +
               " mode " + std::to_string(mode) + " offset " + std::to_string(offset) + " " +
               std::to_string(bytes.size()) + " bytes";
    }
};

// Paths are drawn from few names in few directories, so operations keep meeting each other;
// kinds are weighted towards the ones that change content. Link targets never climb with
// "..", so no path leaves the tree.
operation draw(std::mt19937_64 &rng)
{
    static const char *dirs[] = {"", "", "d1/", "d1/s/", "d2/", "l/"};
    static const char *names[] = {"a", "b", "c", "l", "m"};
    static const char *dir_names[] = {"d1", "d2", "s", "d1/s", "d1/s/t", "l"};
    static const char *targets[] = {"a", "b", "d1", "d1/a", "s", "nowhere", "l", "s/b"};
    static const unsigned modes[] = {0644, 0600, 0755, 0444, 0700, 0666, 0777};
    static const unsigned weights[operation::count] = {3, 4, 2, 2, 3, 1, 1, 1, 1, 2, 1, 1, 3, 1, 1};
    auto pick = [&](auto &array) { return array[rng() % std::size(array)]; };
    auto path = [&] { return std::string(pick(dirs)) + pick(names); };
    static std::discrete_distribution<int> kinds(std::begin(weights), std::end(weights));
    operation op{static_cast<operation::kind>(kinds(rng)), path(), {}, 0, 0, 0, {}};
    if (op.what == operation::mkdir_it || op.what == operation::rmdir_it ||
        op.what == operation::readdir_it || (op.what == operation::rename_to && rng() % 3 == 0))
        op.path = pick(dir_names);
    switch (op.what) {
    case operation::rename_to:
    case operation::link_to:
        op.other = path();
        break;
    case operation::symlink_to:
        op.other = pick(targets);
        break;
    case operation::create:
        op.flags = O_CREAT | (rng() % 2 ? O_RDWR : O_WRONLY) | (rng() % 3 == 0 ? O_EXCL : 0) |
                   (rng() % 3 == 0 ? O_TRUNC : 0);
        op.mode = pick(modes);
        break;
    case operation::write:
        op.flags = (rng() % 2 ? O_RDWR : O_WRONLY) | (rng() % 4 == 0 ? O_TRUNC : 0);
        op.offset = static_cast<off_t>(rng() % 70000);
        op.bytes.resize(1 + rng() % 9000);
        for (char &c : op.bytes)
            c = static_cast<char>(rng());
        break;
    case operation::truncate_to:
        op.offset = static_cast<off_t>(rng() % 3 == 0 ? 0 : rng() % 80000);
        break;
    case operation::utimens_it:
        op.flags = rng() % 2 ? AT_SYMLINK_NOFOLLOW : 0;
        op.offset = static_cast<off_t>(1000000 + rng() % 1000000);
        op.mode = rng() % 3; // both times, the access time only, the modification time only
        break;
    case operation::lchown_it:
        op.mode = rng() % 2 ? 65534 : 0; // the new owner
        break;
    default:
        op.mode = pick(modes);
    }
    return op;
}

// The reference's copy of the guard: `full` names an entry of the reference tree. Returns 0
// when the change may go ahead, else -1 with errno set. With copy-up the name gets a private
// copy with the same content, mode and owner, as the mount's copy-up gives it.
unsigned long guard_hits; // refusals or copies made by the reference's guard

int reference_guard(const std::string &full, bool copyup)
{
    struct stat st;
    if (lstat(full.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) ||
        st.st_nlink <= 1)
        return 0;
    guard_hits++;
    if (!copyup) {
        errno = EROFS;
        return -1;
    }
    const std::string tmp = full + ".parity-copy";
    if (S_ISLNK(st.st_mode)) {
        std::string target(PATH_MAX, '\0');
        target.resize(static_cast<size_t>(readlink(full.c_str(), target.data(), PATH_MAX)));
        EXPECT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
    } else {
        write_file(tmp, read_file(full));
        EXPECT_EQ(chmod(tmp.c_str(), st.st_mode & 07777), 0);
    }
    EXPECT_EQ(lchown(tmp.c_str(), st.st_uid, st.st_gid), 0);
    EXPECT_EQ(rename(tmp.c_str(), full.c_str()), 0);
    return 0;
}

// The entry a following call reaches, for the reference's guard; a name that does not
// resolve is not guarded (the call itself then fails or creates it alike in both trees).
std::string resolved(const std::string &full)
{
    char buf[PATH_MAX];
    return realpath(full.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// Applies `op` below `root`. `copyup` is given for the reference tree, whose guard this code
// plays (refusing, or copying up when *copyup); it is null through the mount.
outcome apply(const operation &op, const std::string &root, const bool *copyup)
{
    const std::string p = root + "/" + op.path, q = root + "/" + op.other;
    auto guarded = [&](const std::string &entry) {
        return copyup == nullptr || entry.empty() ? 0 : reference_guard(entry, *copyup);
    };
    switch (op.what) {
    case operation::create:
    case operation::write: {
        if ((op.flags & O_CREAT) == 0 || (op.flags & O_EXCL) == 0 || !exists(p))
            if (guarded(resolved(p)) < 0)
                return result_of(-1);
        int fd = open(p.c_str(), op.flags | O_CLOEXEC, op.mode);
        if (fd < 0)
            return result_of(-1);
        outcome o; // a create writes nothing
        if (!op.bytes.empty())
            o = result_of(pwrite(fd, op.bytes.data(), op.bytes.size(), op.offset));
        close(fd);
        return o;
    }
    case operation::truncate_to:
        if (guarded(resolved(p)) < 0)
            return result_of(-1);
        return result_of(truncate(p.c_str(), op.offset));
    case operation::chmod_it:
        if (guarded(resolved(p)) < 0)
            return result_of(-1);
        return result_of(chmod(p.c_str(), op.mode));
    case operation::lchown_it:
        if (guarded(exists(p) ? p : std::string()) < 0)
            return result_of(-1);
        return result_of(lchown(p.c_str(), op.mode, op.mode));
    case operation::rename_to:
        return result_of(rename(p.c_str(), q.c_str()));
    case operation::link_to:
        return result_of(link(p.c_str(), q.c_str()));
    case operation::unlink_it:
        return result_of(unlink(p.c_str()));
    case operation::mkdir_it:
        return result_of(mkdir(p.c_str(), op.mode));
    case operation::rmdir_it:
        return result_of(rmdir(p.c_str()));
    case operation::symlink_to:
        return result_of(symlink(op.other.c_str(), p.c_str()));
    case operation::utimens_it: {
        const time_t when = static_cast<time_t>(op.offset);
        struct timespec times[2] = {{when, 0}, {when + 1, 500}};
        if (op.mode != 0)
            times[op.mode == 1 ? 1 : 0].tv_nsec = UTIME_OMIT;
        outcome o = result_of(utimensat(AT_FDCWD, p.c_str(), times, op.flags));
        struct stat st;
        // Only the stamps the call set: the others follow reads and writes, which the kernel
        // may serve from its cache through the mount.
        if (o.ret != 0 || fstatat(AT_FDCWD, p.c_str(), &st, op.flags) != 0)
            return o;
        const struct timespec now[2] = {st.st_atim, st.st_mtim};
        for (int i = 0; i < 2; i++)
            if (times[i].tv_nsec != UTIME_OMIT)
                o.data +=
                    std::to_string(now[i].tv_sec) + "." + std::to_string(now[i].tv_nsec) + " ";
        return o;
    }
    case operation::read_it: {
        int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return result_of(-1);
        outcome o;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
            if (n < 0) {
                o = result_of(-1);
                break;
            }
            o.data.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        return o;
    }
    case operation::readlink_it: {
        char buf[PATH_MAX];
        outcome o = result_of(readlink(p.c_str(), buf, sizeof buf));
        if (o.ret > 0)
            o.data.assign(buf, static_cast<size_t>(o.ret));
        return o;
    }
    case operation::readdir_it: {
        struct stat st;
        if (stat(p.c_str(), &st) != 0)
            return result_of(-1);
        outcome o;
        for (const auto &name : names_in(p))
            o.data += name + "\n";
        return o;
    }
    case operation::count:
        break;
    }
    return {};
}

// A tree in a form two trees can be compared by: per entry its type, mode, owner, size and
// content or target, and the groups of names that share an inode.
std::string describe_tree(const std::string &root)
{
    std::map<std::string, std::string> entries;
    std::map<ino_t, std::set<std::string>> inodes;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        const std::string dir = pending.back();
        pending.pop_back();
        for (const auto &name : names_in(root + "/" + dir)) {
            const std::string rel = dir + name, full = root + "/" + rel;
            struct stat st = lstat_of(full);
            std::string d = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                            std::to_string(st.st_gid) + " nlink " + std::to_string(st.st_nlink);
            if (S_ISDIR(st.st_mode)) {
                pending.push_back(rel + "/");
            } else if (S_ISLNK(st.st_mode)) {
                char buf[PATH_MAX];
                ssize_t n = readlink(full.c_str(), buf, sizeof buf);
                d += " -> " + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
                inodes[st.st_ino].insert(rel);
            } else {
                const std::string content = read_file(full);
                d += " size " + std::to_string(st.st_size) + " hash " +
                     std::to_string(std::hash<std::string>{}(content));
                inodes[st.st_ino].insert(rel);
            }
            entries[rel] = d;
        }
    }
    std::set<std::string> groups;
    for (const auto &[ino, names] : inodes) {
        std::string g;
        for (const auto &n : names)
            g += n + " ";
        groups.insert(g);
    }
    std::string out;
    for (const auto &[rel, d] : entries)
        out += rel + ": " + d + "\n";
    for (const auto &g : groups)
        out += "shares an inode: " + g + "\n";
    return out;
}

// The starting tree: files, files shared inside the tree and with a name outside it,
// symbolic links (one of them shared), directories and a link to a directory.
void build_tree(const std::string &root, const std::string &outside)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    for (const char *dir : {"/d1", "/d1/s", "/d2"})
        ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
    write_file(root + "/a", std::string(70000, 'a'));
    write_file(root + "/c", "c");
    write_file(root + "/d1/a", "d1a");
    write_file(outside + "/keep", std::string(5000, 'k'));
    const std::pair<std::string, std::string> links[] = {{root + "/a", root + "/b"},
                                                         {root + "/a", root + "/d2/b"},
                                                         {root + "/d1/a", root + "/d1/s/b"},
                                                         {outside + "/keep", root + "/d1/s/a"}};
    for (const auto &[from, to] : links)
        ASSERT_EQ(link(from.c_str(), to.c_str()), 0);
    ASSERT_EQ(symlink("a", (root + "/m").c_str()), 0);
    ASSERT_EQ(link((root + "/m").c_str(), (root + "/d1/m").c_str()), 0);
    ASSERT_EQ(symlink("d1", (root + "/l").c_str()), 0);
}

struct parity : testing::TestWithParam<bool> {};

TEST_P(parity, random_operations_agree_with_a_reference_directory)
{
    const bool copyup = GetParam();
    // Creates under umask 0 ask for every mode bit; the mount must give what the base gives.
    umask(0);
    const unsigned long seeds = env_number("PARITY_SEEDS", 16),
                        first = env_number("PARITY_FIRST_SEED", 0),
                        ops = env_number("PARITY_OPS", 400);
    unsigned long applied = 0, failed_alike = 0;
    guard_hits = 0;
    for (unsigned long seed = first; seed < first + seeds; seed++) {
        const std::string replay = "replay with: PARITY_FIRST_SEED=" + std::to_string(seed) +
                                   " PARITY_SEEDS=1 PARITY_OPS=" + std::to_string(ops) + " " +
                                   testing::internal::GetArgvs()[0] + " --gtest_filter=*/" +
                                   (copyup ? "copyup" : "plain");
        SCOPED_TRACE(replay);
        temp_dir work;
        build_tree(work / "ref", work / "ref-outside");
        build_tree(work / "base", work / "base-outside");
        ASSERT_FALSE(testing::Test::HasFatalFailure());
        // No attribute or entry caching: after a copy-up the kernel would otherwise show the
        // other name's old link count for up to a second, which is not the daemon's answer.
        std::vector<std::string> options = {"-oattr_timeout=0,entry_timeout=0,negative_timeout=0"};
        if (copyup)
            options.push_back("--copyup");
        wardfs_mount m(work / "base", work / "mnt", options);
        ASSERT_FALSE(testing::Test::HasFailure());

        std::mt19937_64 rng(seed);
        for (unsigned long i = 0; i < ops; i++) {
            const operation op = draw(rng);
            const outcome want = apply(op, work / "ref", &copyup);
            const outcome got = apply(op, m.mnt, nullptr);
            applied++;
            failed_alike += want.ret < 0 && got == want;
            ASSERT_EQ(got, want) << "operation " << i << ": " << op.describe();
        }
        EXPECT_EQ(describe_tree(m.mnt), describe_tree(work / "ref")) << "through the mount";
        EXPECT_EQ(describe_tree(work / "base"), describe_tree(work / "ref"))
            << "in the base directory";
        EXPECT_EQ(read_file(work / "base-outside/keep"), std::string(5000, 'k'));
    }
    printf("%lu operations over %lu seeds from %lu agreed: %lu failed alike, %lu met a shared "
           "file\n",
           applied, seeds, first, failed_alike, guard_hits);
}

INSTANTIATE_TEST_SUITE_P(wardfs, parity, testing::Bool(),
                         [](const auto &info) { return info.param ? "copyup" : "plain"; });

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, true);
}
