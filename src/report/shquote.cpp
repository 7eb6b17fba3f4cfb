// Writing words so that a line can be pasted into a shell.
#include "report/shquote.h"

#include <cstdio>
#include <cstring>

#include "report/utf8.h"
#include "report/report_settings.h"

namespace {

// Bytes that make a shell read a bare word differently: the control bytes,
// space, delete, the shell's punctuation, and "!", which an interactive bash
// takes for a history reference. Bytes 0x80-0xff are not among them, so
// UTF-8 text stays bare.
struct special_table {
    bool byte[256];

    constexpr special_table() : byte{}
    {
        for (int c = 0x01; c <= 0x20; c++)
            byte[c] = true;
        byte[0x7f] = true;
        for (const char *p = "`^#*[]=|\\?${}()'\"<>&;!"; *p; p++)
            byte[static_cast<unsigned char>(*p)] = true;
    }
};

constexpr special_table shell_specials;

// How many bytes from p a terminal would act on: a C0 control, delete, a C1
// control (U+0080-U+009F), a character that reorders or hides the text
// around it, or a byte that is not part of valid UTF-8. 0 when p starts
// printable text.
int terminal_unsafe(const unsigned char *p)
{
    if (*p < 0x20 || *p == 0x7f)
        return 1;
    int n = utf8_length(p);
    if (n == 0)
        return 1;
    if (n == 2 && p[0] == 0xc2 && p[1] <= 0x9f)
        return 2;
    if (n == 3 && format_character(utf8_code(p, n)))
        return 3;
    return 0;
}

// The bytes from p that are looked at as one: a whole UTF-8 character on a
// terminal, else one byte.
int step(const unsigned char *p)
{
    int n = report_settings.terminal ? utf8_length(p) : 1;
    return n ? n : 1;
}

bool needs_quotes(const char *word, bool value)
{
    if (*word == '\0' || *word == '~')
        return true;
    const auto *bytes = reinterpret_cast<const unsigned char *>(word);
    for (const unsigned char *p = bytes; *p; p += step(p)) {
        if (shell_specials.byte[*p])
            return true;
        // In an assignment the shell expands a "~" after ":" too.
        if (value && *p == '~' && p[-1] == ':')
            return true;
        if (report_settings.terminal && terminal_unsafe(p))
            return true;
    }
    return false;
}

// The letter of bash's named escape for byte c, or 0.
char escape_letter(unsigned char c)
{
    switch (c) {
    case '\a':
        return 'a';
    case '\b':
        return 'b';
    case '\t':
        return 't';
    case '\n':
        return 'n';
    case '\v':
        return 'v';
    case '\f':
        return 'f';
    case '\r':
        return 'r';
    case 0x1b:
        return 'e';
    default:
        return 0;
    }
}

// Writes bytes [p, end) in the shell's dollar-quoted form, outside the
// apostrophes of the quoted run around it.
void write_escaped(const unsigned char *p, const unsigned char *end)
{
    FILE *out = report_settings.output;
    fputs("'$'", out);
    // Bytes, never \u escapes: bash turns those back into the character
    // only in a UTF-8 locale.
    for (; p < end; p++) {
        if (char letter = escape_letter(*p))
            fprintf(out, "\\%c", letter);
        else
            fprintf(out, "\\x%02x", *p);
    }
    fputs("''", out);
}

void write_quoted(const char *word)
{
    FILE *out = report_settings.output;
    putc('\'', out);
    for (const auto *p = reinterpret_cast<const unsigned char *>(word); *p;) {
        // On a terminal every byte it would act on is escaped; runs of such
        // bytes share one escape.
        if (report_settings.terminal && terminal_unsafe(p)) {
            const unsigned char *end = p;
            while (*end && terminal_unsafe(end))
                end += terminal_unsafe(end);
            write_escaped(p, end);
            p = end;
            continue;
        }
        if (*p == '\n') {
            fwrite("'$'\\n''", 1, 7, out);
            p++;
        } else if (*p == '\'') {
            fwrite("'\\''", 1, 4, out);
            p++;
        } else {
            for (int n = step(p); n > 0; n--)
                putc(*p++, out);
        }
    }
    putc('\'', out);
}

void print_word(const char *word, bool value)
{
    if (needs_quotes(word, value))
        write_quoted(word);
    else
        fputs(word, report_settings.output);
}

} // namespace

void print_shquoted(const char *word)
{
    print_word(word, false);
}

void print_shquoted_value(const char *word)
{
    print_word(word, true);
}

void print_shquoted_command(const char *word)
{
    // bash's reserved words; those made of special bytes ({, [[, !) are
    // quoted anyway.
    static const char *const RESERVED[] = {"if",   "then", "else",     "elif",  "fi",    "case",
                                           "esac", "for",  "select",   "while", "until", "do",
                                           "done", "in",   "function", "time",  "coproc"};
    for (const char *reserved : RESERVED) {
        if (strcmp(word, reserved) == 0) {
            write_quoted(word);
            return;
        }
    }
    print_word(word, false);
}
