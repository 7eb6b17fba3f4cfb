// Fuzzes the output: shell quoting must give back every word through a
// shell's quote removal, and an exec line built from any argument and
// environment vectors must be one whole line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../fake_platform.h"
#include "procdb/pid_db.h"
#include "report/exec_report.h"
#include "report/shquote.h"
#include "run/settings.h"

namespace {

// What a POSIX shell makes of one quoted word in the forms the quoting
// uses: bare bytes, '...', $'\n' and \'. False when the text is not such a word.
bool unquote(const std::string &text, std::string *word)
{
    word->clear();
    size_t i = 0;
    bool quoted = false;
    while (i < text.size()) {
        if (text.compare(i, 5, "$'\\n'") == 0) {
            *word += '\n';
            i += 5;
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
            if (quoted || strchr("`^#*[]=|\\?${}()'\"<>&; \x7f", text[i]) ||
                static_cast<unsigned char>(text[i]) < 0x20)
                return false; // a bare special byte, or bare bytes mixed with quotes
            *word += text[i++];
        }
    }
    return !text.empty();
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
    uint8_t options = data[0];
    std::vector<std::string> words = words_of(data + 1, size - 1, 64);

    for (const std::string &w : words) {
        std::string text = captured([&] { print_shquoted(w.c_str()); });
        std::string back;
        if (!unquote(text, &back) || back != w)
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
    run_settings.kd = os::kvm_openfiles(nullptr, nullptr, nullptr, 0, nullptr);
    fake::add(1, 0, {"init"});
    size_t half = words.size() / 2;
    fake::process &p = fake::add(100, 1, std::vector<std::string>(words.begin(), words.begin() + half + 1));
    p.env.assign(words.begin() + half + 1, words.end());
    p.cwd = words.back();
    p.exe = words.front();
    p.uid = options & 128 ? 0x80000000u : 1000;
    std::string line = captured([] { report_exec(100); });
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1)
        abort();
    return 0;
}
