// Fuzzes the output: shell quoting must give back every word through a
// shell's quote removal, and an exec line built from any argument and
// environment vectors must be one whole line.
#include <cctype>
#include <clocale>
#include <cstdint>
#include <cuchar>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../fake_platform.h"
#include "procdb/pid_db.h"
#include "report/exec_report.h"
#include "report/json.h"
#include "report/shquote.h"
#include "run/settings.h"

namespace {

// The byte of a bash escape letter inside $'...', or -1.
int escaped_byte(char letter)
{
    const char *const letters = "abtnvfre";
    const char bytes[] = {'\a', '\b', '\t', '\n', '\v', '\f', '\r', 0x1b};
    const char *at = strchr(letters, letter);
    return letter && at ? bytes[at - letters] : -1;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads the escapes of one $'...' run starting at text[i] into word.
bool dollar_quoted(const std::string &text, size_t &i, std::string *word)
{
    i += 2;
    while (i < text.size() && text[i] == '\\' && i + 1 < text.size()) {
        int byte = escaped_byte(text[i + 1]);
        if (byte >= 0) {
            *word += static_cast<char>(byte);
            i += 2;
        } else if (text[i + 1] == 'x' && i + 3 < text.size() && hex_digit(text[i + 2]) >= 0 &&
                   hex_digit(text[i + 3]) >= 0) {
            *word += static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3]));
            i += 4;
        } else {
            return false;
        }
    }
    if (i >= text.size() || text[i] != '\'')
        return false;
    i++;
    return true;
}

// What bash makes of one quoted word in the forms the quoting uses: bare
// bytes, '...', $'...' with escapes, and \'. False when the text is not such
// a word, or a bare word that bash would expand.
bool unquote(const std::string &text, std::string *word)
{
    word->clear();
    size_t i = 0;
    bool quoted = false;
    while (i < text.size()) {
        if (text.compare(i, 2, "$'") == 0) {
            if (!dollar_quoted(text, i, word))
                return false;
            quoted = true;
        } else if (text.compare(i, 2, "\\'") == 0) {
            *word += '\'';
            i += 2;
            quoted = true;
        } else if (text[i] == '\'') {
            size_t end = text.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            word->append(text, i + 1, end - i - 1);
            i = end + 1;
            quoted = true;
        } else {
            if (quoted || strchr("`^#*[]=|\\?${}()'\"<>&;! \x7f", text[i]) ||
                static_cast<unsigned char>(text[i]) < 0x20 || (i == 0 && text[i] == '~'))
                return false; // a bare special byte, or bare bytes mixed with quotes
            *word += text[i++];
        }
    }
    return !text.empty();
}

// Whether text, as a terminal would read it, holds a control character or
// is not valid UTF-8. Escapes are plain ASCII, so terminal-safe output must
// pass as a whole.
bool raw_control(const std::string &text)
{
    mbstate_t state = {};
    const char *p = text.data();
    const char *end = p + text.size();
    while (p < end) {
        char32_t c;
        size_t n = mbrtoc32(&c, p, static_cast<size_t>(end - p), &state);
        if (n == 0 || n > 4)
            return true; // invalid or cut short
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0xd800 && c <= 0xdfff))
            return true;
        p += n;
    }
    return false;
}

int hex4(const std::string &t, size_t i)
{
    int v = 0;
    for (size_t k = i; k < i + 4; k++) {
        int d = k < t.size() ? hex_digit(static_cast<char>(tolower(t[k]))) : -1;
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

// A JSON string as a parser reads it, with lone surrogates U+DC80-U+DCFF
// taken back to the bytes they stand for. False when text is not one JSON
// string, or holds a raw control byte.
bool json_unquote(const std::string &text, std::string *bytes)
{
    bytes->clear();
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    for (size_t i = 1; i + 1 < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == '"')
            return false;
        if (c != '\\') {
            *bytes += static_cast<char>(c);
            i++;
            continue;
        }
        char e = i + 1 < text.size() - 1 ? text[i + 1] : 0;
        static const char letters[] = "\"\\/bfnrt";
        static const char meant[] = "\"\\/\b\f\n\r\t";
        const char *simple = e ? strchr(letters, e) : nullptr;
        if (simple) {
            *bytes += meant[simple - letters];
            i += 2;
            continue;
        }
        int code = e == 'u' ? hex4(text, i + 2) : -1;
        if (code < 0)
            return false;
        if (code >= 0xdc80 && code <= 0xdcff) {
            *bytes += static_cast<char>(code - 0xdc00);
        } else if (code < 0x80) {
            *bytes += static_cast<char>(code);
        } else if (code < 0x800) {
            *bytes += static_cast<char>(0xc0 | (code >> 6));
            *bytes += static_cast<char>(0x80 | (code & 0x3f));
        } else if (code < 0xd800 || code > 0xdfff) {
            // The format characters that reorder or hide text.
            *bytes += static_cast<char>(0xe0 | (code >> 12));
            *bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            *bytes += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            return false; // the writer escapes no other surrogate
        }
        i += 6;
    }
    return true;
}

std::string captured(const std::function<void()> &write)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    run_settings.output = out;
    write();
    fclose(out);
    std::string text(buf, len);
    free(buf);
    run_settings.output = stdout;
    return text;
}

// Splits data at NUL bytes into at most max words.
std::vector<std::string> words_of(const uint8_t *data, size_t size, size_t max)
{
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size && words.size() <= max; i++) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += static_cast<char>(data[i]);
    }
    return words;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const bool utf8 = setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    if (!utf8)
        abort();
    uint8_t options = data[0];
    std::vector<std::string> words = words_of(data + 1, size - 1, 64);

    for (bool terminal : {false, true}) {
        run_settings.terminal = terminal;
        for (const std::string &w : words) {
            std::string text = captured([&] { print_shquoted(w.c_str()); });
            std::string back;
            if (!unquote(text, &back) || back != w)
                abort();
            if (terminal && raw_control(text))
                abort();
        }
    }
    run_settings.terminal = false;

    // JSON strings: always one valid string, safe on a terminal, and the
    // bytes come back.
    for (const std::string &w : words) {
        std::string text = captured([&] { print_json_string(w.c_str()); });
        std::string back;
        if (!json_unquote(text, &back) || back != w || raw_control(text))
            abort();
    }

    fake::reset();
    run_settings.flat = options & 1;
    run_settings.timing = options & 2;
    run_settings.show_user = options & 4;
    run_settings.show_cwd = options & 8;
    run_settings.full_path = options & 16;
    run_settings.quiet = options & 32;
    run_settings.show_env = options & 64;
    run_settings.json = size > 1 && (data[1] & 1);
    run_settings.kd = os::kvm_openfiles(nullptr, nullptr, nullptr, 0, nullptr);
    fake::add(1, 0, {"init"});
    size_t half = words.size() / 2;
    fake::process &p =
        fake::add(100, 1, std::vector<std::string>(words.begin(), words.begin() + half + 1));
    p.env.assign(words.begin() + half + 1, words.end());
    p.cwd = words.back();
    p.exe = words.front();
    p.uid = options & 128 ? 0x80000000u : 1000;
    std::string line = captured([] { report_exec(100); });
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1)
        abort();
    if (run_settings.json && (line.front() != '{' || line[line.size() - 2] != '}' ||
                              raw_control(line.substr(0, line.size() - 1))))
        abort();
    return 0;
}
