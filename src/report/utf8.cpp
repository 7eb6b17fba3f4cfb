// Telling valid UTF-8 from other bytes.
#include "report/utf8.h"

namespace {

bool continuation(unsigned char c, unsigned char low = 0x80, unsigned char high = 0xbf)
{
    return c >= low && c <= high;
}

} // namespace

int utf8_length(const unsigned char *p)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        return continuation(p[1]) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        unsigned char low = c == 0xe0 ? 0xa0 : 0x80;
        unsigned char high = c == 0xed ? 0x9f : 0xbf;
        return continuation(p[1], low, high) && continuation(p[2]) ? 3 : 0;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        unsigned char low = c == 0xf0 ? 0x90 : 0x80;
        unsigned char high = c == 0xf4 ? 0x8f : 0xbf;
        return continuation(p[1], low, high) && continuation(p[2]) && continuation(p[3]) ? 4 : 0;
    }
    return 0;
}

unsigned utf8_code(const unsigned char *p, int n)
{
    switch (n) {
    case 1:
        return p[0];
    case 2:
        return ((p[0] & 0x1fu) << 6) | (p[1] & 0x3fu);
    case 3:
        return ((p[0] & 0x0fu) << 12) | ((p[1] & 0x3fu) << 6) | (p[2] & 0x3fu);
    default:
        return ((p[0] & 0x07u) << 18) | ((p[1] & 0x3fu) << 12) | ((p[2] & 0x3fu) << 6) |
               (p[3] & 0x3fu);
    }
}

bool format_character(unsigned code)
{
    return code == 0x200e || code == 0x200f || code == 0x2028 || code == 0x2029 ||
           (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0xfeff;
}
