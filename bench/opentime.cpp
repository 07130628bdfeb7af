// Times one open(2) of FILE with O_WRONLY and prints the milliseconds: what a program pays
// to open a file that was just written through the mount.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    int fd = open(argv[1], O_WRONLY | O_CLOEXEC);
    auto end = std::chrono::steady_clock::now();
    if (fd == -1)
        return perror(argv[1]), 1;
    close(fd);
    printf("%.3f\n", std::chrono::duration<double, std::milli>(end - start).count());
    return 0;
}
