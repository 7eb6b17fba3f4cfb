// The built binary on command lines that end the run before it starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const std::string USAGE = "Usage: forklog [-cdefjlqtux] [-o FILE | -J] [-T FILE] [-p PID|CMD...]\n";

struct result {
    int status;
    std::string err;
};

// Runs the binary with words, standard error captured, standard output
// closed when asked.
result run(const std::vector<std::string> &words, bool close_stdout = false)
{
    std::vector<char *> argv;
    std::string name = "forklog";
    argv.push_back(name.data());
    std::vector<std::string> copy = words;
    for (std::string &w : copy)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    int pipefd[2];
    EXPECT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
    if (close_stdout)
        posix_spawn_file_actions_addclose(&actions, 1);
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, FORKLOG_BINARY, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[1]);
    result r;
    char chunk[512];
    ssize_t n;
    while ((n = read(pipefd[0], chunk, sizeof chunk)) > 0)
        r.err.append(chunk, static_cast<size_t>(n));
    close(pipefd[0]);
    int status;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class cli_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/forklog-cli-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0); }

    bool exists(const std::string &name) const
    {
        struct stat st;
        return stat((dir + "/" + name).c_str(), &st) == 0;
    }

    std::string dir;
};

TEST_F(cli_test, bad_use_writes_getopts_line_then_the_usage_text)
{
    const std::vector<std::string> cases[] = {{"-y"}, {"-o"}, {"-p"}, {"-t", "-k", "ls"}};
    for (const auto &words : cases) {
        result r = run(words);
        EXPECT_EQ(r.status, 1) << words[0];
        ASSERT_GT(r.err.size(), USAGE.size()) << words[0];
        std::string first_line = r.err.substr(0, r.err.size() - USAGE.size());
        EXPECT_EQ(first_line.find("forklog: "), 0u) << first_line;
        EXPECT_EQ(std::count(first_line.begin(), first_line.end(), '\n'), 1) << first_line;
        EXPECT_EQ(r.err.substr(first_line.size()), USAGE);
    }
}

TEST_F(cli_test, a_pid_with_a_command_is_bad_use_after_opening_every_output)
{
    const std::vector<std::string> cases[] = {
        {"-p", "5", "true"},
        {"-o", dir + "/a", "-o", dir + "/b", "-p", "5", "true"},
        {"-o" + dir + "/c", "-p5", "true"},
        {"-J", "-o", dir + "/d", "true"},
        {"-T", dir + "/e", "-p5", "true"},
    };
    for (const auto &words : cases) {
        result r = run(words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, USAGE);
        EXPECT_EQ(r.err.size(), 70u) << "one write of the whole text";
    }
    EXPECT_TRUE(exists("a"));
    EXPECT_TRUE(exists("b"));
    EXPECT_TRUE(exists("c"));
    EXPECT_TRUE(exists("d"));
    EXPECT_TRUE(exists("e"));
}

TEST_F(cli_test, an_output_that_cannot_be_opened_ends_with_the_fopen_line)
{
    result r = run({"-o", dir + "/missing/out", "-p", "5", "true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fopen: No such file or directory\n");
}

// Lines written to a closed standard output would go nowhere while the run
// seemed to succeed; with -o the closed descriptor does not matter.
TEST_F(cli_test, a_closed_standard_output_is_refused_unless_lines_go_to_a_file)
{
    result closed = run({"--", "/bin/true"}, true);
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "forklog: standard output is closed\n");

    result to_file = run({"-o", dir + "/lines", "-p", "2", "extra"}, true);
    EXPECT_EQ(to_file.status, 1);
    EXPECT_EQ(to_file.err, USAGE) << "refused for bad use only";
}

} // namespace
