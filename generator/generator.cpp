// vaskel-system-generator: run by systemd early in boot. Consumes the initramfs /var marker,
// or finds "vaskel=" on the kernel command line, creates the boot marker and hands the
// value and the normal and late output directories to libvaskel's generator.
#include "boot_marker.h"
#include "kernel_arg.h"
#include "vaskel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char initramfs_var_marker[] = "/run/vaskel/initramfs-mount-var";

static const char *normal_dir = "/tmp";
static const char *late_dir = "/tmp";

// Reads the first line of /proc/cmdline without its newline; ends the program on failure.
static char *read_cmdline()
{
    FILE *f = fopen("/proc/cmdline", "re");
    if (f == nullptr)
        err(1, "failed to read /proc/cmdline");
    char *line = nullptr;
    size_t cap = 0;
    errno = 0;
    ssize_t n = getline(&line, &cap, f);
    int read_errno = errno;
    fclose(f);
    if (line == nullptr || n == -1) {
        // No line in the buffer: treat it as the read failure and never scan it. At a pure
        // end of file getline leaves errno alone; say what happened instead of "Success".
        free(line);
        errno = read_errno != 0 ? read_errno : ENODATA;
        err(1, "failed to read /proc/cmdline");
    }
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n')
        line[len - 1] = '\0';
    return line;
}

int main(int argc, char *argv[])
{
    struct stat st;
    if (stat(initramfs_var_marker, &st) == 0) {
        if (unlinkat(AT_FDCWD, initramfs_var_marker, 0) == -1)
            err(1, "Can't unlink %s", initramfs_var_marker);
        return 0;
    }

    if (argc > 1 && argc != 4)
        errx(1, "This program takes three or no arguments");
    if (argc == 4) {
        normal_dir = argv[1];
        late_dir = argv[3];
    }

    char *line = read_cmdline();
    bool copy_failed = false;
    char *value = find_kernel_arg(line, &copy_failed);
    free(line);
    // A failed copy must not pass for "nothing to do": the boot would go on without units.
    if (copy_failed)
        errx(1, "out of memory");
    if (value == nullptr)
        return 0;

    touch_boot_marker();

    GError *error = nullptr;
    if (!vaskel_cmd__private__()->run_generator(value, normal_dir, nullptr, late_dir, &error))
        errx(1, "%s", error != nullptr ? error->message : "generator failed");
    if (error != nullptr)
        g_error_free(error);
    free(value);
    return 0;
}
