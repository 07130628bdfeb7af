// The private command table of libvaskel. Its generator only checks its arguments and
// writes nothing; a system copy of the library does the real generation.
#include "vaskel.h"

#include <initializer_list>
#include <sys/stat.h>

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

gboolean run_generator(const char *value, const char *normal_dir, const char *,
                       const char *late_dir, GError **error)
{
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
