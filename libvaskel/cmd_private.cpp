// The private command table of libvaskel. Its generator only checks its arguments and
// writes nothing; a system copy of the library does the real generation. When the
// environment names a file in VASKEL_GENERATOR_RECORD, it appends one line there with what
// it received (value, normal, early and late directory, tab-separated, "(null)" for a null
// pointer), so a boot test can see what the service manager's run handed over.
#include "vaskel.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace {

GQuark generator_error_quark()
{
    return g_quark_from_static_string("vaskel-generator-error-quark");
}

bool is_directory(const char *path)
{
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void record_arguments(const char *value, const char *normal_dir, const char *early_dir,
                      const char *late_dir)
{
    const char *path = getenv("VASKEL_GENERATOR_RECORD");
    if (path == nullptr || *path == '\0')
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd == -1)
        return;
    auto shown = [](const char *s) { return s != nullptr ? s : "(null)"; };
    dprintf(fd, "%s\t%s\t%s\t%s\n", shown(value), shown(normal_dir), shown(early_dir),
            shown(late_dir));
    close(fd);
}

gboolean run_generator(const char *value, const char *normal_dir, const char *early_dir,
                       const char *late_dir, GError **error)
{
    record_arguments(value, normal_dir, early_dir, late_dir);
    if (value == nullptr || value[0] != '/') {
        g_set_error(error, generator_error_quark(), 0,
                    "Invalid vaskel= argument \"%s\": not an absolute path",
                    value != nullptr ? value : "");
        return FALSE;
    }
    for (const char *dir : {normal_dir, late_dir}) {
        if (!is_directory(dir)) {
            g_set_error(error, generator_error_quark(), 0,
                        "Generator directory \"%s\" is not an existing directory",
                        dir != nullptr ? dir : "(null)");
            return FALSE;
        }
    }
    return TRUE;
}

const private_command_table command_table = {run_generator};

} // namespace

extern "C" const private_command_table *vaskel_cmd__private__(void)
{
    return &command_table;
}
