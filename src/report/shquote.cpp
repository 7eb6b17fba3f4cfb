// Writing words so that a line can be pasted into a shell.
#include "report/shquote.h"

#include <cstdio>
#include <cstring>

#include "run/settings.h"

namespace {

// Bytes that make a shell read a bare word differently: the control bytes,
// space, delete and the shell's punctuation. Bytes 0x80-0xff are not among
// them, so UTF-8 text stays bare.
struct special_table {
    bool byte[256];

    constexpr special_table() : byte{}
    {
        for (int c = 0x01; c <= 0x20; c++)
            byte[c] = true;
        byte[0x7f] = true;
        for (const char *p = "`^#*[]=|\\?${}()'\"<>&;"; *p; p++)
            byte[static_cast<unsigned char>(*p)] = true;
    }
};

constexpr special_table shell_specials;

bool needs_quotes(const char *word)
{
    if (*word == '\0')
        return true;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(word); *p; p++)
        if (shell_specials.byte[*p])
            return true;
    return false;
}

} // namespace

void print_shquoted(const char *word)
{
    FILE *out = run_settings.output;
    if (!needs_quotes(word)) {
        fputs(word, out);
        return;
    }
    putc('\'', out);
    for (const char *p = word; *p; p++) {
        if (*p == '\n')
            fwrite("'$'\\n''", 1, 7, out);
        else if (*p == '\'')
            fwrite("'\\''", 1, 4, out);
        else
            putc(*p, out);
    }
    putc('\'', out);
}
