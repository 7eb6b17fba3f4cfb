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
        for (auto [on, letter] : {std::pair{s.show_cwd, 'd'}, {s.show_env, 'e'}, {s.flat, 'f'},
                                  {s.full_path, 'l'}, {s.quiet, 'q'}, {s.timing, 't'},
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
        {{"-p", "abc"}, "", 0, 3},
        {{"-p", " +12x"}, "", 12, 3},
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

TEST_F(options_test, the_command_keeps_its_own_words)
{
    int first = parse({"-t", "--", "-x", "-t"});
    EXPECT_STREQ(argv[first], "-x");
    EXPECT_STREQ(argv[first + 1], "-t");
    EXPECT_EQ(flags(), "t");
}

} // namespace
