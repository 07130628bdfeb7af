// Writes TEXT at OFFSET of FILE through a shared writable mapping, as programs that change
// files in place with mmap do. Usage: mmap_write FILE OFFSET TEXT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: mmap_write FILE OFFSET TEXT\n");
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd == -1 || fstat(fd, &st) == -1) {
        perror(argv[1]);
        return 1;
    }
    const size_t offset = strtoul(argv[2], nullptr, 10), length = strlen(argv[3]);
    if (offset + length > static_cast<size_t>(st.st_size)) {
        fprintf(stderr, "%s: too short\n", argv[1]);
        return 1;
    }
    void *map =
        mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        perror("mmap");
        return 1;
    }
    memcpy(static_cast<char *>(map) + offset, argv[3], length);
    if (msync(map, static_cast<size_t>(st.st_size), MS_SYNC) == -1) {
        perror("msync");
        return 1;
    }
    munmap(map, static_cast<size_t>(st.st_size));
    return close(fd) == 0 ? 0 : 1;
}
