// Shell quoting: the exact forms, and that a shell reads every word back.
#include <fstream>
#include <random>
#include <sys/stat.h>

#include "command_output.h"
#include "logic_fixture.h"
#include "report/shquote.h"

namespace {

class shquote_test : public logic_test {
protected:
    std::string quoted(const std::string &word) { return captured(print_shquoted, word); }

    // As the value of an environment entry NAME=value.
    std::string quoted_value(const std::string &word)
    {
        return captured(print_shquoted_value, word);
    }

    // As the command word of a line.
    std::string captured_command(const std::string &word)
    {
        return captured(print_shquoted_command, word);
    }

private:
    std::string captured(void (*print)(const char *), const std::string &word)
    {
        fflush(out);
        size_t before = len;
        print(word.c_str());
        fflush(out);
        return std::string(buf + before, len - before);
    }
};

using cases = std::vector<std::pair<std::string, std::string>>;

TEST_F(shquote_test, writes_each_word_in_its_exact_form)
{
    const cases table = {
        {"abc", "abc"},
        {"", "''"},
        {"a b", "'a b'"},
        {"it's", R"('it'\''s')"},
        {"'", R"(''\''')"},
        {"a\nb", R"('a'$'\n''b')"},
        {"\n", R"(''$'\n''')"},
        {"a\tb", "'a\tb'"},
        {"x=1", "'x=1'"},
        {"$HOME", "'$HOME'"},
        {"/usr/bin/cc", "/usr/bin/cc"},
        {"~/notes", "'~/notes'"},
        {"~", "'~'"},
        {"~root", "'~root'"},
        {"a~b", "a~b"},
        {"a:~/b", "a:~/b"},
        {"50%", "50%"},
        {"a!b", "'a!b'"},
        {"!!", "'!!'"},
        {"-o", "-o"},
        {"gr\xc3\xbc\xc3\x9f", "gr\xc3\xbc\xc3\x9f"},
        {"a\"b\\c", "'a\"b\\c'"},
        {"+,-.:@_%~/", "+,-.:@_%~/"},
        {"a\x7f", "'a\x7f'"},
        {"a\x1b", "'a\x1b'"},
        {"\x9b[2J\xc2\x9b", "'\x9b[2J\xc2\x9b'"},
        {"a\xe2\x80\xae"
         "b",
         "a\xe2\x80\xae"
         "b"}, // a right-to-left override: raw off a terminal
    };
    for (const auto &[word, expected] : table)
        EXPECT_EQ(quoted(word), expected) << "word: " << ::testing::PrintToString(word);
}

TEST_F(shquote_test, every_special_byte_alone_forces_quotes)
{
    const std::string specials = "`^#*[]=|\\?${}()'\"<>&;! \x7f";
    std::string all = specials;
    for (int c = 1; c < 0x20; c++)
        all += static_cast<char>(c);
    for (int c = 1; c < 256; c++) {
        std::string word = std::string("a") + static_cast<char>(c) + "b";
        bool special = all.find(static_cast<char>(c)) != std::string::npos;
        EXPECT_EQ(quoted(word)[0] == '\'', special) << "byte " << c;
    }
}

// In an assignment bash expands "~" after "=" and after ":".
TEST_F(shquote_test, an_environment_value_is_quoted_where_an_assignment_would_expand_it)
{
    const cases table = {
        {"~/bin", "'~/bin'"},
        {"/usr/bin:~/bin", "'/usr/bin:~/bin'"},
        {"/usr/bin:/bin", "/usr/bin:/bin"},
        {"a~b", "a~b"},
        {"", "''"},
    };
    for (const auto &[word, expected] : table)
        EXPECT_EQ(quoted_value(word), expected) << "value: " << ::testing::PrintToString(word);
}

// On a terminal nothing that it would act on goes out raw: controls, C1
// controls in UTF-8, and bytes that are not UTF-8 become escapes.
TEST_F(shquote_test, on_a_terminal_control_bytes_and_invalid_utf8_become_escapes)
{
    run_settings.terminal = true;
    const cases table = {
        {"abc", "abc"},
        {"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80",
         "'gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80'"},
        {"\x1b[2J\x1b[H\x1b]0;pwned\a", R"(''$'\e''[2J'$'\e''[H'$'\e'']0;pwned'$'\a''')"},
        {"\r12345 <root>", R"(''$'\r''12345 <root>')"},
        {"a\tb\nc", R"('a'$'\t''b'$'\n''c')"},
        {"\x01\x7f", R"(''$'\x01\x7f''')"},
        {"x\x9by", R"('x'$'\x9b''y')"},
        {"x\xc2\x9by", R"('x'$'\xc2\x9b''y')"},
        {"\xc2\xa0", "\xc2\xa0"},
        {"\xc0\xaf", R"(''$'\xc0\xaf''')"},                 // an overlong "/"
        {"\xed\xa0\x80", R"(''$'\xed\xa0\x80''')"},         // a surrogate
        {"\xf4\x90\x80\x80", R"(''$'\xf4\x90\x80\x80''')"}, // past U+10FFFF
        {"\xe2\x82", R"(''$'\xe2\x82''')"},                 // cut short
        {"it's", R"('it'\''s')"},
        // Characters that reorder or hide the text around them.
        {"evil\xe2\x80\xae"
         "fdp.exe",
         R"('evil'$'\xe2\x80\xae''fdp.exe')"},
        {"\xe2\x81\xa6x\xe2\x81\xa9", R"(''$'\xe2\x81\xa6''x'$'\xe2\x81\xa9''')"},
        {"\xe2\x80\x8e\xe2\x80\x8f", R"(''$'\xe2\x80\x8e\xe2\x80\x8f''')"},
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9",
         R"('a'$'\xe2\x80\xa8''b'$'\xe2\x80\xa9''')"},
        {"\xef\xbb\xbfx", R"(''$'\xef\xbb\xbf''x')"},
        {"\xe2\x80\xa9\xe2\x80\xaa", R"(''$'\xe2\x80\xa9\xe2\x80\xaa''')"},
        {"\xe2\x80\x8d", "\xe2\x80\x8d"}, // a joiner changes no order
    };
    for (const auto &[word, expected] : table)
        EXPECT_EQ(quoted(word), expected) << "word: " << ::testing::PrintToString(word);
}

// The promise users rely on: whatever the bytes, bash (with history
// expansion on, as when interactive) reads each word back as exactly the
// word the process had, as an argument and as the value of an assignment,
// on a terminal or not.
TEST_F(shquote_test, bash_reads_every_quoted_word_back_unchanged)
{
    std::mt19937 rng(20261209);
    std::vector<std::string> words;
    for (int i = 0; i < 400; i++) {
        std::string w(rng() % 24, '\0');
        for (char &c : w)
            c = static_cast<char>(1 + rng() % 255);
        words.push_back(w);
    }
    for (const char *w : {"", "'\n'", "~", "~root", "~/x", "a!b", "!!", "!$", "x:~/y", "~:~",
                          "/usr/bin:~/bin", "\x1b[2J\x9b\xc2\x9b", "\xff~!",
                          "a\xe2\x80\xae"
                          "b\xef\xbb\xbf",
                          "\xe2\x81\xa6\xe2\x80\xa8"})
        words.push_back(w);

    char script_name[] = "/tmp/forklog-shquote-XXXXXX";
    int fd = mkstemp(script_name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream script(script_name, std::ios::binary);
        script << "set -H\n";
        for (bool terminal : {false, true}) {
            run_settings.terminal = terminal;
            for (const std::string &w : words) {
                script << "printf %s " << quoted(w) << "; printf '\\0'\n";
                script << "A=" << quoted_value(w) << "; printf %s \"$A\"; printf '\\0'\n";
            }
        }
        run_settings.terminal = false;
    }
    int status;
    std::vector<std::string> back =
        split_at_nuls(output_of(std::string("HOME=/home/x bash ") + script_name, &status));
    EXPECT_EQ(status, 0);
    unlink(script_name);
    ASSERT_EQ(back.size(), 4 * words.size());
    for (size_t i = 0; i < back.size(); i++) {
        const std::string &word = words[i / 2 % words.size()];
        EXPECT_EQ(back[i], word) << (i / 2 >= words.size() ? "terminal, " : "")
                                 << (i % 2 ? "value " : "word ") << ::testing::PrintToString(word);
    }
}

// A line's command word pasted back must run the program: bash would read
// a bare reserved word as syntax. Each word names a program in a folder on
// PATH that says its name.
TEST_F(shquote_test, a_command_word_that_bash_reserves_is_quoted_and_runs_the_program)
{
    const std::vector<std::string> reserved = {"if",   "then", "else",     "elif",  "fi",    "case",
                                               "esac", "for",  "select",   "while", "until", "do",
                                               "done", "in",   "function", "time",  "coproc"};
    EXPECT_EQ(captured_command("time"), "'time'");
    EXPECT_EQ(captured_command("timeout"), "timeout");
    EXPECT_EQ(captured_command("/usr/bin/time"), "/usr/bin/time");
    EXPECT_EQ(quoted("time"), "time") << "an argument is not in command position";

    char dir_name[] = "/tmp/forklog-reserved-XXXXXX";
    ASSERT_NE(mkdtemp(dir_name), nullptr);
    std::string script_name = std::string(dir_name) + "/script";
    {
        std::ofstream script(script_name, std::ios::binary);
        for (const std::string &w : reserved) {
            std::string program = std::string(dir_name) + "/" + w;
            std::ofstream(program) << "#!/bin/sh\nprintf '%s ' \"$(basename \"$0\")\"\n";
            ASSERT_EQ(chmod(program.c_str(), 0755), 0);
            script << captured_command(w) << " x\n";
        }
    }
    int status;
    std::string out =
        output_of("PATH=" + std::string(dir_name) + ":/usr/bin:/bin bash " + script_name, &status);
    EXPECT_EQ(status, 0) << out;
    std::string expected;
    for (const std::string &w : reserved)
        expected += w + " ";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(system(("rm -rf " + std::string(dir_name)).c_str()), 0);
}

} // namespace
