// libFuzzer target: find_kernel_arg on any line agrees with a plain split at spaces and
// never reads past the end of the line.
#include "kernel_arg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the terminator is caught by AddressSanitizer.
    char *line = static_cast<char *>(malloc(size + 1));
    memcpy(line, data, size);
    line[size] = '\0';

    const std::string text(line); // up to the first NUL, as the generator scans it
    const char *expected = nullptr;
    std::string word;
    std::istringstream words(text);
    while (std::getline(words, word, ' '))
        if (word.rfind("vaskel=", 0) == 0) {
            word.erase(0, 7);
            expected = word.c_str();
            break;
        }

    bool copy_failed = true;
    char *value = find_kernel_arg(line, &copy_failed);
    if (copy_failed || (value == nullptr) != (expected == nullptr) ||
        (value != nullptr && strcmp(value, expected) != 0))
        abort();
    free(value);
    free(line);
    return 0;
}
