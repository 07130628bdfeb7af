// A test double of libvaskel with the same soname and command table. It appends the
// arguments it receives to the file named by VASKEL_FAKE_LOG, fails with the message in
// VASKEL_FAKE_FAIL when that is set, and makes strndup fail when VASKEL_FAKE_NOMEM is set.
#include "vaskel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace {

gboolean fake_run_generator(const char *value, const char *normal_dir, const char *early_dir,
                            const char *late_dir, GError **error)
{
    if (const char *log = getenv("VASKEL_FAKE_LOG")) {
        FILE *f = fopen(log, "a");
        if (f != nullptr) {
            fprintf(f, "value=[%s] normal=[%s] early=[%s] late=[%s] error=[%s]\n", value,
                    normal_dir, early_dir != nullptr ? early_dir : "(null)", late_dir,
                    error != nullptr && *error == nullptr ? "null" : "set");
            fclose(f);
        }
    }
    if (const char *message = getenv("VASKEL_FAKE_FAIL")) {
        g_set_error_literal(error, g_quark_from_static_string("fake"), 7, message);
        return FALSE;
    }
    return TRUE;
}

const private_command_table fake_table = {fake_run_generator};

} // namespace

extern "C" VASKEL_EXPORT const private_command_table *vaskel_cmd__private__(void)
{
    return &fake_table;
}

extern "C" VASKEL_EXPORT char *strndup(const char *s, size_t n)
{
    if (getenv("VASKEL_FAKE_NOMEM") != nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t len = strnlen(s, n);
    auto *copy = static_cast<char *>(malloc(len + 1));
    if (copy != nullptr) {
        memcpy(copy, s, len);
        copy[len] = '\0';
    }
    return copy;
}
