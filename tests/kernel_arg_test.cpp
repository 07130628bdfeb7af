// find_kernel_arg on its own: words split at runs of spaces only, prefix match, first wins.
#include "kernel_arg.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(find_kernel_arg, table)
{
    const struct {
        const char *line;
        const char *value; // nullptr: no such word
    } cases[] = {
        {"root=/dev/sda1 vaskel=/deploy/x/0 quiet", "/deploy/x/0"},
        {"quiet   vaskel=/a", "/a"},
        {"vaskel=/a", "/a"},
        {"   vaskel=/lead", "/lead"},
        {"xvaskel=/a", nullptr},
        {"quiet vaskel=", ""},
        {"vaskel= quiet", ""},
        {"vaskel=/first vaskel=/second", "/first"},
        {"quiet\tvaskel=/t", nullptr},
        {"vaskel=/t\tquiet", "/t\tquiet"},
        {"vaskel=\"/a b\"", "\"/a"},
        {"vaskel", nullptr},
        {"vaskel=/trailing   ", "/trailing"},
        {"", nullptr},
        {"   ", nullptr},
        {"VASKEL=/a", nullptr},
    };
    for (const auto &c : cases) {
        bool copy_failed = true;
        char *value = find_kernel_arg(c.line, &copy_failed);
        EXPECT_FALSE(copy_failed) << c.line;
        if (c.value == nullptr)
            EXPECT_EQ(value, nullptr) << "'" << c.line << "' gave '" << value << "'";
        else if (value == nullptr)
            ADD_FAILURE() << "'" << c.line << "' gave no value";
        else
            EXPECT_STREQ(value, c.value) << c.line;
        free(value);
    }
}
