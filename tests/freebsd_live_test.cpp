// forklog on FreeBSD's kernel: the built binary against processes that the
// tests start. Needs root; skipped otherwise, unless FORKLOG_LIVE_TESTS is
// "required", when a skip is a failure.
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "live_run.h"

namespace {

using namespace live;

class freebsd_live_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *need = getenv("FORKLOG_LIVE_TESTS");
        if (geteuid() != 0) {
            if (need && std::string(need) == "required")
                FAIL() << "live tests need root";
            GTEST_SKIP() << "live tests need root";
        }
        char tmpl[] = "/tmp/forklog-live-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        if (!dir.empty())
            EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }

    process_run forklog(const std::vector<std::string> &args)
    {
        std::vector<std::string> words = {FORKLOG_BINARY};
        words.insert(words.end(), args.begin(), args.end());
        return process_run(dir, words);
    }

    std::string dir;
};

TEST_F(freebsd_live_test, a_command_is_shown_as_a_tree_with_its_status)
{
    auto run = forklog({"--", "/bin/sh", "-c", "/bin/sh -c '/bin/echo deep'; exit 3"});
    EXPECT_EQ(run.wait(), 3);
    std::vector<line> lines = parse(run.out());
    ASSERT_EQ(lines.size(), 3u) << run.out() << run.err();
    EXPECT_EQ(lines[0].depth, 0);
    EXPECT_EQ(lines[0].rest, "/bin/sh -c '/bin/sh -c '\\''/bin/echo deep'\\''; exit 3'");
    EXPECT_EQ(lines[1].depth, 1);
    EXPECT_EQ(lines[1].rest, "/bin/sh -c '/bin/echo deep'");
    EXPECT_EQ(lines[2].depth, 2);
    EXPECT_EQ(lines[2].rest, "/bin/echo deep");
    EXPECT_EQ(run.err(), "");
}

TEST_F(freebsd_live_test, words_with_control_bytes_are_quoted)
{
    auto run = forklog({"--", "/bin/echo", "a\nb", "\x1b[31m", "it's", ""});
    EXPECT_EQ(run.wait(), 0);
    std::vector<line> lines = parse(run.out());
    ASSERT_EQ(lines.size(), 1u) << run.out();
    EXPECT_EQ(lines[0].rest, "/bin/echo 'a'$'\\n''b' $'\\e''[31m' 'it'\\''s' ''");
}

TEST_F(freebsd_live_test, timing_shows_re_execs_and_the_commands_end)
{
    auto run = forklog({"-t", "--", "/bin/sh", "-c", "exec /bin/sleep 0.05"});
    EXPECT_EQ(run.wait(), 0);
    std::vector<line> lines = parse(run.out());
    ASSERT_EQ(lines.size(), 3u) << run.out();
    EXPECT_EQ(lines[1].mark, "+");
    EXPECT_EQ(lines[1].pid, lines[0].pid);
    EXPECT_EQ(lines[2].mark, "-");
    EXPECT_EQ(lines[2].rest.rfind("sleep exited status=0 time=", 0), 0u) << lines[2].rest;
}

TEST_F(freebsd_live_test, an_orphan_stays_under_the_process_that_made_it)
{
    auto run =
        forklog({"--", "/bin/sh", "-c", "(/bin/sh -c 'sleep 0.2; /bin/echo orphan' &); sleep 0.6"});
    EXPECT_EQ(run.wait(), 0);
    int maker = -1;
    int orphan = -1;
    for (const line &l : parse(run.out())) {
        if (l.rest == "/bin/sh -c 'sleep 0.2; /bin/echo orphan'")
            maker = l.depth;
        if (l.rest == "/bin/echo orphan")
            orphan = l.depth;
    }
    ASSERT_GE(maker, 1) << run.out();
    EXPECT_EQ(orphan, maker + 1) << run.out();
}

TEST_F(freebsd_live_test, a_pid_scope_follows_a_running_tree_until_interrupted)
{
    process_run tree(dir, {"/bin/sh", "-c", "while :; do /bin/sleep 0.05; done"});
    usleep(50000);
    auto run = forklog({"-p", std::to_string(tree.pid)});
    ASSERT_TRUE(run.wait_for_output("/bin/sleep 0.05\n")) << run.err();
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(), 0);
    for (const line &l : parse(run.out())) {
        EXPECT_EQ(l.depth, 1);
        EXPECT_EQ(l.rest, "/bin/sleep 0.05");
    }
}

TEST_F(freebsd_live_test, whole_system_scope_shows_a_program_started_elsewhere)
{
    auto run = forklog({});
    const std::string canary = "canary-" + std::to_string(getpid());
    for (int i = 0; i < 100 && run.out().find(canary) == std::string::npos; i++) {
        process_run echo(dir, {"/bin/echo", canary});
        echo.wait();
        usleep(20000);
    }
    EXPECT_TRUE(run.wait_for_output("/bin/echo " + canary + "\n")) << run.err();
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(), 0);
}

} // namespace
