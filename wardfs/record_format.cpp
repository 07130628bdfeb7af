// Quoting of names in a mount's record: C escapes, valid UTF-8 kept as it is.
#include "record_format.h"

#include <cstring>

// The length of the valid UTF-8 sequence at `s` (of `n` bytes left), or 0: no overlong forms,
// no surrogates, nothing above U+10FFFF.
static size_t utf8_length(const unsigned char *s, size_t n)
{
    size_t len;
    unsigned min;
    unsigned cp;
    if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        len = 2, min = 0x80, cp = s[0] & 0x1f;
    } else if ((s[0] & 0xf0) == 0xe0) {
        len = 3, min = 0x800, cp = s[0] & 0x0f;
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        len = 4, min = 0x10000, cp = s[0] & 0x07;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (s[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return len;
}

void quote_name(std::string &out, std::string_view name)
{
    static const char escapes[] = "\aa\bb\tt\nn\vv\ff\rr\"\"\\\\";
    const auto *s = reinterpret_cast<const unsigned char *>(name.data());
    out += '"';
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = s[i];
        if (c >= 0x80) {
            if (size_t len = utf8_length(s + i, name.size() - i); len != 0) {
                out.append(name.data() + i, len);
                i += len;
                continue;
            }
        } else if (const char *e = c != 0 ? strchr(escapes, c) : nullptr;
                   e != nullptr && (e - escapes) % 2 == 0) {
            out += '\\';
            out += e[1];
            i++;
            continue;
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            i++;
            continue;
        }
        const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                              static_cast<char>('0' + ((c >> 3) & 7)),
                              static_cast<char>('0' + (c & 7))};
        out.append(octal, sizeof octal);
        i++;
    }
    out += '"';
}

bool unquote_name(const char *&p, std::string &name)
{
    static const char escapes[] = "a\ab\bt\tn\nv\vf\fr\r\"\"\\\\";
    name.clear();
    while (*p == ' ')
        p++;
    if (*p++ != '"')
        return false;
    for (;;) {
        const char c = *p++;
        if (c == '"')
            return true;
        if (c == '\0' || c == '\n')
            return false;
        if (c != '\\') {
            name += c;
            continue;
        }
        const char e = *p++;
        if (e >= '0' && e <= '3' && p[0] >= '0' && p[0] <= '7' && p[1] >= '0' && p[1] <= '7') {
            name += static_cast<char>((e - '0') << 6 | (p[0] - '0') << 3 | (p[1] - '0'));
            p += 2;
            continue;
        }
        const char *known = e != '\0' ? strchr(escapes, e) : nullptr;
        if (known == nullptr || (known - escapes) % 2 != 0)
            return false;
        name += known[1];
    }
}
