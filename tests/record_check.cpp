// record_check INSTALLED FARM NAMES REMOVED: checks what a mount's record says against the two
// trees. FARM was linked from INSTALLED (cp -al) and changed through the mount; NAMES and
// REMOVED are the reader's NUL-separated output, without and with --removed.
//  - Every name that differs between the trees (gone, new, another inode, another mode or
//    owner of a directory) is covered: the name itself, or a directory above it that the
//    record names (a renamed directory is named once), is among NAMES, or among REMOVED for
//    a name that is gone.
//  - Every name in NAMES exists in FARM and differs there, or is a directory (whose times a
//    change may set back).
//  - Every name in REMOVED existed in INSTALLED and is gone from FARM.
// Prints each failure; exit status 1 when there was one.
#include <cstdio>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>

namespace {

struct entry {
    mode_t mode;
    ino_t ino;
    uid_t uid;
    gid_t gid;
};
using tree = std::map<std::string, entry>;

tree walked;
size_t root_length;

tree walk(const std::string &root)
{
    walked.clear();
    root_length = root.size();
    nftw(
        root.c_str(),
        [](const char *path, const struct stat *st, int, struct FTW *) {
            std::string name(path + root_length);
            name = name.empty() ? "." : name.substr(1);
            walked[name] = {st->st_mode, st->st_ino, st->st_uid, st->st_gid};
            return 0;
        },
        32, FTW_PHYS);
    return walked;
}

std::set<std::string> names_in(const char *file)
{
    std::ifstream in(file, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    for (size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
        names.insert(all.substr(at, end - at));
    return names;
}

bool differs(const entry &a, const entry &b)
{
    if ((a.mode & S_IFMT) != (b.mode & S_IFMT) || a.mode != b.mode || a.uid != b.uid ||
        a.gid != b.gid)
        return true;
    return !S_ISDIR(a.mode) && a.ino != b.ino;
}

// The name, or a directory above it, is in `names`.
bool covered(std::string name, const std::set<std::string> &names)
{
    for (;;) {
        if (names.count(name) != 0)
            return true;
        size_t slash = name.rfind('/');
        if (slash == std::string::npos)
            return names.count(".") != 0;
        name.resize(slash);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: record_check INSTALLED FARM NAMES REMOVED\n");
        return 2;
    }
    const tree installed = walk(argv[1]), farm = walk(argv[2]);
    const std::set<std::string> names = names_in(argv[3]), removed = names_in(argv[4]);
    int failures = 0;
    auto fail = [&](const char *what, const std::string &name) {
        fprintf(stderr, "record_check: %s: %s\n", what, name.c_str());
        failures++;
    };
    for (const auto &[name, e] : farm) {
        auto before = installed.find(name);
        const bool differ = before == installed.end() || differs(before->second, e);
        if (differ && !covered(name, names))
            fail("changed but not recorded", name);
        if (names.count(name) != 0 && !differ && !S_ISDIR(e.mode))
            fail("recorded but unchanged", name);
    }
    for (const auto &[name, e] : installed)
        if (farm.count(name) == 0 && !covered(name, removed))
            fail("gone but not recorded", name);
    for (const auto &name : names)
        if (farm.count(name) == 0)
            fail("recorded but not there", name);
    for (const auto &name : removed)
        if (installed.count(name) == 0 || farm.count(name) != 0)
            fail("recorded as removed but not gone", name);
    return failures == 0 ? 0 : 1;
}
