// wardfs-record-names [-0] [--removed] FILE: the names a mount's record says were created or
// changed, under their final names (a name later removed is left out; a renamed directory is
// one name, under its new name, and what lies beneath moved with it), or with --removed the
// names that existed before the record began and are gone. One name a line, quoted as in the
// record; with -0 NUL-terminated and unquoted. Exit status 0; 1 when the record was cut short
// (no end, or an end that says lines are missing), after the names; 2 for an unreadable or
// malformed record or bad usage.
#include "record_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <type_traits>

namespace {

// What the record knows of the names that exist now: each one it saw arrive (created, or
// moved in) with the name its entry had before the record began, none for an entry made
// since. Names it never saw arrive are as they were.
struct tree_state {
    std::map<std::string, std::optional<std::string>> origin;
    std::set<std::string> changed; // names that exist now, created or changed
    std::set<std::string> gone;    // names from before the record that an entry left

    static bool below(const std::string &name, const std::string &dir)
    {
        return dir == "." || (name.size() > dir.size() && name.compare(0, dir.size(), dir) == 0 &&
                              name[dir.size()] == '/');
    }
    static std::string moved(const std::string &name, const std::string &from,
                             const std::string &to)
    {
        return name == from ? to : to + name.substr(from.size());
    }

    // The name the entry at `name` had before the record began, or none when it was made
    // since: its own, or one an ancestor directory brought along when it moved.
    std::optional<std::string> original_of(const std::string &name) const
    {
        for (std::string at = name;;) {
            if (auto found = origin.find(at); found != origin.end()) {
                if (!found->second)
                    return std::nullopt;
                return moved(name, at, *found->second);
            }
            size_t slash = at.rfind('/');
            if (slash == std::string::npos)
                return name;
            at.resize(slash);
        }
    }

    // The entry at `name` (a directory with all it holds) leaves that name.
    void leave(const std::string &name)
    {
        if (auto before = original_of(name))
            gone.insert(*before);
        std::erase_if(origin,
                      [&](const auto &e) { return e.first == name || below(e.first, name); });
        std::erase_if(changed, [&](const std::string &n) { return n == name || below(n, name); });
    }

    // Takes what is recorded at and below `from` out, for `to`.
    template <typename Set> static Set take(Set &set, const std::string &from)
    {
        Set out;
        for (auto it = set.begin(); it != set.end();) {
            const std::string &key = [&]() -> const std::string & {
                if constexpr (std::is_same_v<Set, std::set<std::string>>)
                    return *it;
                else
                    return it->first;
            }();
            if (key == from || below(key, from)) {
                out.insert(*it);
                it = set.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }

    void put(std::map<std::string, std::optional<std::string>> &&entries,
             std::set<std::string> &&names, const std::string &from, const std::string &to)
    {
        for (auto &e : entries)
            origin[moved(e.first, from, to)] = std::move(e.second);
        for (const auto &n : names)
            changed.insert(moved(n, from, to));
    }

    void created(const std::string &name)
    {
        origin[name] = std::nullopt;
        changed.insert(name);
    }

    void touched(const std::string &name) { changed.insert(name); }

    void renamed(const std::string &from, const std::string &to, bool replacing)
    {
        if (from == to)
            return;
        std::optional<std::string> before = original_of(from);
        if (replacing)
            leave(to);
        auto entries = take(origin, from);
        auto names = take(changed, from);
        if (before)
            gone.insert(*before);
        put(std::move(entries), std::move(names), from, to);
        origin[to] = before;
        changed.insert(to);
    }

    void exchanged(const std::string &a, const std::string &b)
    {
        std::optional<std::string> at_a = original_of(a), at_b = original_of(b);
        auto entries_a = take(origin, a), entries_b = take(origin, b);
        auto names_a = take(changed, a), names_b = take(changed, b);
        put(std::move(entries_a), std::move(names_a), a, b);
        put(std::move(entries_b), std::move(names_b), b, a);
        origin[b] = at_a;
        origin[a] = at_b;
        changed.insert(a);
        changed.insert(b);
    }

    // Whether an entry stands at `name` now, as far as the record tells.
    bool exists(const std::string &name) const
    {
        for (std::string at = name;;) {
            if (origin.count(at) != 0)
                return true;
            if (gone.count(at) != 0)
                return false;
            size_t slash = at.rfind('/');
            if (slash == std::string::npos)
                return true;
            at.resize(slash);
        }
    }
};

int usage()
{
    fprintf(stderr, "usage: wardfs-record-names [-0] [--removed] FILE\n");
    return 2;
}

} // namespace

// Takes one line of a record into the tree (or the state of the mounts); false when it is not
// a line of a record.
static bool take_line(const char *line, tree_state &tree, bool &open_mount, bool &cut)
{
    char word[32] = "";
    int used = 0;
    sscanf(line, "%31s%n", word, &used);
    const char *p = line + used;
    const std::string w = word;
    std::string a, b;
    if (w == "start") {
        cut |= open_mount;
        open_mount = true;
    } else if (w == "end") {
        cut |= strncmp(p, " incomplete", 11) == 0;
        open_mount = false;
    } else if (w == "created" || w == "removed" || w == "changed" || w == "attributes" ||
               w == "copied-up") {
        if (!unquote_name(p, a))
            return false;
        if (w == "created")
            tree.created(a);
        else if (w == "removed")
            tree.leave(a);
        else
            tree.touched(a);
    } else if (w == "renamed" || w == "exchanged") {
        if (!unquote_name(p, a) || !unquote_name(p, b))
            return false;
        if (w == "renamed")
            tree.renamed(a, b, strstr(p, "replacing") != nullptr);
        else
            tree.exchanged(a, b);
    } else if (w != "refused") {
        return false;
    }
    return true;
}

// Reads the record `in` (named `file`) into the tree: 0, or 2 after a message; `cut` tells a
// record cut short.
static int read_record(FILE *in, const char *file, tree_state &tree, bool &cut)
{
    bool open_mount = false;
    char *line = nullptr;
    size_t capacity = 0;
    long number = 0;
    int res = 0;
    for (ssize_t n; (n = getline(&line, &capacity, in)) > 0;) {
        number++;
        if (line[n - 1] != '\n') {
            cut = true; // a line without its end: nothing of it is taken
            break;
        }
        if (!take_line(line, tree, open_mount, cut)) {
            fprintf(stderr, "wardfs-record-names: %s:%ld: not a line of a record\n", file, number);
            res = 2;
            break;
        }
    }
    free(line);
    if (res == 0 && ferror(in)) {
        fprintf(stderr, "wardfs-record-names: %s: %s\n", file, strerror(errno));
        res = 2;
    }
    cut |= open_mount;
    return res;
}

// Writes the names, quoted a line each or ending in NUL: those changed, or with `removed`
// those gone. 0, or 2 after a message.
static int print_names(const tree_state &tree, bool removed, bool nul)
{
    std::set<std::string> names;
    if (removed) {
        for (const auto &name : tree.gone)
            if (!tree.exists(name))
                names.insert(name);
    } else {
        names = tree.changed;
    }
    std::string out;
    for (const auto &name : names) {
        if (nul) {
            out += name;
            out += '\0';
        } else {
            quote_name(out, name);
            out += '\n';
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "wardfs-record-names: %s\n", strerror(errno));
        return 2;
    }
    return 0;
}

int main(int argc, char **argv)
{
    bool nul = false, removed = false;
    const char *file = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-0") == 0)
            nul = true;
        else if (strcmp(argv[i], "--removed") == 0)
            removed = true;
        else if (file == nullptr && (argv[i][0] != '-' || argv[i][1] == '\0'))
            file = argv[i];
        else
            return usage();
    }
    if (file == nullptr)
        return usage();
    FILE *in = strcmp(file, "-") == 0 ? stdin : fopen(file, "re");
    if (in == nullptr) {
        fprintf(stderr, "wardfs-record-names: %s: %s\n", file, strerror(errno));
        return 2;
    }
    tree_state tree;
    bool cut = false;
    int res = read_record(in, file, tree, cut);
    if (in != stdin)
        fclose(in);
    if (res == 0)
        res = print_names(tree, removed, nul);
    if (res == 0 && cut) {
        fprintf(stderr,
                "wardfs-record-names: %s: the record was cut short (the mount did not "
                "end cleanly, or lines are missing)\n",
                file);
        return 1;
    }
    return res;
}
