// Metadata workload for the benchmark: create, stat, open for writing, rename and unlink N
// files spread over D directories below DIR. Prints the seconds of create, stat, rename,
// unlink and open on one line. With PHASE, only that phase runs and nothing is removed:
// "setup" makes the directories, "setup-files" the files as well; create, stat, open, rename
// and unlink then time one operation on every file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: %s DIR FILES DIRS [PHASE]\n", argv[0]);
        return 2;
    }
    const std::string only = argc == 5 ? argv[4] : "";
    const std::string top = argv[1];
    const long files = strtol(argv[2], nullptr, 10), dirs = strtol(argv[3], nullptr, 10);
    auto name = [&](long i, const char *suffix) {
        return top + "/d" + std::to_string(i % dirs) + "/f" + std::to_string(i) + suffix;
    };
    const bool setup = only.starts_with("setup");
    for (long d = 0; d < dirs && (only.empty() || setup); d++)
        if (mkdir((top + "/d" + std::to_string(d)).c_str(), 0755) != 0)
            return perror("mkdir"), 1;

    using clock = std::chrono::steady_clock;
    auto phase = [&](auto op) {
        auto start = clock::now();
        for (long i = 0; i < files; i++)
            if (!op(i))
                perror("metaops"), exit(1);
        return std::chrono::duration<double>(clock::now() - start).count();
    };
    struct stat st;
    auto create_op = [&](long i) {
        int fd = open(name(i, "").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd >= 0 && close(fd) == 0;
    };
    auto stat_op = [&](long i) { return stat(name(i, "").c_str(), &st) == 0; };
    // An existing file opened for writing: what the guard decides on.
    auto open_op = [&](long i) {
        int fd = open(name(i, "").c_str(), O_WRONLY | O_CLOEXEC);
        return fd >= 0 && close(fd) == 0;
    };
    auto rename_op = [&](long i) {
        return rename(name(i, "").c_str(), name(i, ".r").c_str()) == 0;
    };
    if (!only.empty()) {
        double s = 0;
        if (only == "setup-files" || only == "create")
            s = phase(create_op);
        else if (only == "stat")
            s = phase(stat_op);
        else if (only == "open")
            s = phase(open_op);
        else if (only == "rename")
            s = phase(rename_op);
        else if (only == "unlink")
            s = phase([&](long i) { return unlink(name(i, "").c_str()) == 0; });
        else if (only != "setup")
            return fprintf(stderr, "metaops: no phase %s\n", only.c_str()), 2;
        if (!setup)
            printf("%.4f\n", s);
        return 0;
    }
    double create = phase(create_op);
    double stat_s = phase(stat_op);
    double open_s = phase(open_op);
    double rename_s = phase(rename_op);
    double unlink_s = phase([&](long i) { return unlink(name(i, ".r").c_str()) == 0; });
    for (long d = 0; d < dirs; d++)
        rmdir((top + "/d" + std::to_string(d)).c_str());
    printf("%.4f %.4f %.4f %.4f %.4f\n", create, stat_s, rename_s, unlink_s, open_s);
    return 0;
}
