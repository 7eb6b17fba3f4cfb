// The command line, parsed in-process against the fake kernel.
#include "logic_fixture.h"
#include "run/options.h"

namespace {

class options_test : public logic_test {
protected:
    int parse(std::vector<std::string> words)
    {
        words.insert(words.begin(), "forklog");
        storage = words;
        argv.clear();
        for (std::string &w : storage)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        optind = 0;
        return parse_options(static_cast<int>(storage.size()), argv.data());
    }

    std::string flags() const
    {
        std::string f;
        const run_settings_record &s = run_settings;
        for (auto [on, letter] : {std::pair{s.show_cwd, 'd'},
                                  {s.show_env, 'e'},
                                  {s.flat, 'f'},
                                  {s.full_path, 'l'},
                                  {s.quiet, 'q'},
                                  {s.timing, 't'},
                                  {s.show_user, 'u'}})
            if (on)
                f += letter;
        return f;
    }

    std::vector<std::string> storage;
    std::vector<char *> argv;
};

TEST_F(options_test, sets_flags_root_and_command_start)
{
    struct {
        std::vector<std::string> words;
        std::string flags;
        int root;
        int first; // index of the command's first word; argc when none
    } cases[] = {
        {{}, "", 1, 1},
        {{"-d", "-e", "-f", "-l", "-q", "-t", "-u"}, "deflqtu", 1, 8},
        {{"-dd", "-d"}, "d", 1, 3},
        {{"-dtu"}, "dtu", 1, 2},
        {{"-w"}, "", 1, 2},
        {{"-p5"}, "", 5, 2},
        {{"-p", "7", "-p", "9"}, "", 9, 5},
        {{"-p", "007"}, "", 7, 3},
        {{"-p", "2147483647"}, "", 2147483647, 3},
        {{"-p", "1", "ls", "-l"}, "", 1, 3},
        {{"ls", "-t"}, "", 1, 1},
        {{"-t", "--", "-x"}, "t", 1, 3},
        {{"-f", "-", "x"}, "f", 1, 2},
    };
    for (const auto &c : cases) {
        fake::reset();
        int first = parse(c.words);
        std::string shown = testing::PrintToString(c.words);
        EXPECT_EQ(flags(), c.flags) << shown;
        EXPECT_EQ(run_settings.root_pid, c.root) << shown;
        EXPECT_EQ(first, c.first) << shown;
        EXPECT_EQ(run_settings.output, stdout) << shown;
    }
}

TEST_F(options_test, a_pid_that_is_not_a_whole_number_from_1_up_is_bad_use)
{
    const char *const bad[] = {"abc",  " 1", "+5",         "-1",        "0",
                               "1abc", "",   "2147483648", "4294967297"};
    for (const char *text : bad) {
        EXPECT_EXIT(parse({"-p", text, "--", "true"}), testing::ExitedWithCode(1),
                    "^Usage: forklog \\[-cdefjlqtux\\] \\[-o FILE \\| -J\\] \\[-T FILE\\] \\[-p "
                    "PID\\|CMD...\\]\n$")
            << testing::PrintToString(text);
    }
}

TEST_F(options_test, words_are_made_terminal_safe_only_on_a_terminal)
{
    parse({});
    EXPECT_FALSE(run_settings.terminal);
    fake::reset();
    fake::k.output_is_terminal = true;
    parse({"-f"});
    EXPECT_TRUE(run_settings.terminal);
}

TEST_F(options_test, the_command_keeps_its_own_words)
{
    int first = parse({"-t", "--", "-x", "-t"});
    EXPECT_STREQ(argv[first], "-x");
    EXPECT_STREQ(argv[first + 1], "-t");
    EXPECT_EQ(flags(), "t");
}

} // namespace
