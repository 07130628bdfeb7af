// The kernel command line is split at runs of spaces only; tabs and quotes are ordinary
// characters, and the first word that begins with "vaskel=" wins.
#include "kernel_arg.h"

#include <cstdlib>
#include <cstring>

char *find_kernel_arg(const char *line, bool *copy_failed)
{
    static const char prefix[] = "vaskel=";
    const size_t prefix_len = sizeof(prefix) - 1;

    if (copy_failed != nullptr)
        *copy_failed = false;
    const char *pos = line;
    for (;;) {
        const char *space = strchr(pos, ' ');
        const char *end = space != nullptr ? space : pos + strlen(pos);
        if (static_cast<size_t>(end - pos) >= prefix_len && memcmp(pos, prefix, prefix_len) == 0) {
            char *value = strndup(pos + prefix_len, end - pos - prefix_len);
            if (value == nullptr && copy_failed != nullptr)
                *copy_failed = true;
            return value;
        }
        if (space == nullptr)
            return nullptr;
        pos = space + strspn(space, " ");
    }
}
