// Shell quoting: the exact forms, and that a shell reads every word back.
#include <fstream>
#include <random>

#include "logic_fixture.h"
#include "report/shquote.h"

namespace {

class shquote_test : public logic_test {
protected:
    std::string quoted(const std::string &word)
    {
        fflush(out);
        size_t before = len;
        print_shquoted(word.c_str());
        fflush(out);
        return std::string(buf + before, len - before);
    }
};

TEST_F(shquote_test, writes_each_word_in_its_exact_form)
{
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {"", "''"},
        {"a b", "'a b'"},
        {"it's", "'it'\\''s'"},
        {"'", "''\\'''"},
        {"a\nb", "'a'$'\\n''b'"},
        {"\n", "''$'\\n'''"},
        {"a\tb", "'a\tb'"},
        {"x=1", "'x=1'"},
        {"$HOME", "'$HOME'"},
        {"/usr/bin/cc", "/usr/bin/cc"},
        {"~/notes", "~/notes"},
        {"50%", "50%"},
        {"a!b", "a!b"},
        {"-o", "-o"},
        {"gr\xc3\xbc\xc3\x9f", "gr\xc3\xbc\xc3\x9f"},
        {"a\"b\\c", "'a\"b\\c'"},
        {"+,-.:@_%!~/", "+,-.:@_%!~/"},
        {"a\x7f", "'a\x7f'"},
        {"a\x1b", "'a\x1b'"},
    };
    for (const auto &[word, expected] : cases)
        EXPECT_EQ(quoted(word), expected) << "word: " << ::testing::PrintToString(word);
}

TEST_F(shquote_test, every_special_byte_alone_forces_quotes)
{
    const std::string specials = "`^#*[]=|\\?${}()'\"<>&; \x7f";
    std::string all = specials;
    for (int c = 1; c < 0x20; c++)
        all += static_cast<char>(c);
    for (int c = 1; c < 256; c++) {
        std::string word = std::string("a") + static_cast<char>(c) + "b";
        bool special = all.find(static_cast<char>(c)) != std::string::npos;
        EXPECT_EQ(quoted(word)[0] == '\'', special) << "byte " << c;
    }
}

// The promise users rely on: whatever the bytes, bash reads the line's word
// back as exactly the word the process had.
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
    words.push_back("");
    words.push_back("'\n'");

    char script_name[] = "/tmp/forklog-shquote-XXXXXX";
    int fd = mkstemp(script_name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream script(script_name, std::ios::binary);
        for (const std::string &w : words)
            script << "printf %s " << quoted(w) << "; printf '\\0'\n";
    }
    std::string command = std::string("bash ") + script_name;
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string got;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        got.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0);
    unlink(script_name);

    std::vector<std::string> back;
    size_t start = 0;
    for (size_t end; (end = got.find('\0', start)) != std::string::npos; start = end + 1)
        back.push_back(got.substr(start, end - start));
    ASSERT_EQ(back.size(), words.size());
    for (size_t i = 0; i < words.size(); i++)
        EXPECT_EQ(back[i], words[i]) << "quoted as " << ::testing::PrintToString(quoted(words[i]));
}

} // namespace
