// forklog on the real kernel: the built binary against processes that the
// tests start. Needs root; skipped otherwise, unless FORKLOG_LIVE_TESTS is
// "required", when a skip is a failure.
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "command_output.h"
#include "live_run.h"
#include "platform/linux/sources/source_list.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using namespace live;

// The event sources the tool can be told to use, as the tool lists them.
struct source {
    const char *name;   // as FORKLOG_SOURCE takes it
    bool records_facts; // it records each exec's facts at the exec
    bool built;
    bool unprivileged; // the tool runs as a user without privilege: command scope only
    bool caps_areas;   // it records the first MiB of a larger argument area
};

std::vector<source> sources()
{
    std::vector<source> all;
    for (const linux_layer::source_traits &t : linux_layer::SOURCE_LIST)
        all.push_back({t.name, t.records_facts, !t.kernel_programs || FORKLOG_HAS_BPF,
                       !t.whole_system, t.caps_areas});
    return all;
}

// The user the unprivileged runs are made as.
constexpr const char *NOBODY = "65534";

// Test names show the source by name, not the record's bytes.
void PrintTo(const source &s, std::ostream *os)
{
    *os << s.name;
}

class live_test : public ::testing::TestWithParam<source> {
protected:
    void SetUp() override
    {
        const char *need = getenv("FORKLOG_LIVE_TESTS");
        bool required = need && std::string(need) == "required";
        if (geteuid() != 0) {
            if (required)
                FAIL() << "live tests are required but need root";
            GTEST_SKIP() << "live tests need root";
        }
        if (!GetParam().built)
            GTEST_SKIP() << "this build has no " << GetParam().name << " source";
        // The tool and every forklog that a test starts use this source.
        setenv("FORKLOG_SOURCE", GetParam().name, 1);
        // A sanitized build's leak checker cannot run in a traced process,
        // and under the tracer the helpers (and the tool's own command
        // process, when its exec fails) are traced.
        if (GetParam().unprivileged)
            setenv("LSAN_OPTIONS", "detect_leaks=0", 1);
        char tmpl[] = "/tmp/forklog-live-XXXXXX";
        dir = mkdtemp(tmpl);
        if (GetParam().unprivileged) {
            ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
        }
    }

    // Lets the tool's user and the users the tests switch to into dir.
    void share_dir() { ASSERT_EQ(chmod(dir.c_str(), GetParam().unprivileged ? 0777 : 0755), 0); }

    // For a test of what only a privileged source can do: a scope other than
    // a command, or a command that changes its user.
    bool privileged_only() { return GetParam().unprivileged; }

    void TearDown() override
    {
        unsetenv("FORKLOG_SOURCE");
        unsetenv("LSAN_OPTIONS");
        if (!dir.empty()) {
            EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
        }
    }

    std::unique_ptr<process_run> forklog(std::vector<std::string> words)
    {
        words.insert(words.begin(), FORKLOG_BINARY);
        if (GetParam().unprivileged)
            words.insert(words.begin(), {"/usr/bin/setpriv", std::string("--reuid=") + NOBODY,
                                         std::string("--regid=") + NOBODY, "--clear-groups", "--"});
        return std::make_unique<process_run>(dir, words);
    }

    std::string dir;
};

TEST_P(live_test, command_scope_shows_the_tree_indented_by_generation)
{
    auto run = forklog(
        {"--", "/bin/sh", "-c", "sleep 0.05; /bin/sh -c 'sleep 0.05; exec sleep 0.06'; exit 3"});
    EXPECT_EQ(run->wait(), 3) << "the command's own status is passed on";
    std::vector<line> lines = parse(run->out());
    ASSERT_EQ(lines.size(), 5u) << run->out() << run->err();
    EXPECT_EQ(lines[0].depth, 0);
    EXPECT_EQ(lines[0].rest,
              "/bin/sh -c 'sleep 0.05; /bin/sh -c '\\''sleep 0.05; exec sleep 0.06'\\''; exit 3'");
    EXPECT_EQ(lines[1].depth, 1);
    EXPECT_EQ(lines[1].rest, "sleep 0.05");
    EXPECT_EQ(lines[2].depth, 1);
    EXPECT_EQ(lines[2].rest, "/bin/sh -c 'sleep 0.05; exec sleep 0.06'");
    EXPECT_EQ(lines[3].depth, 2);
    EXPECT_EQ(lines[3].rest, "sleep 0.05");
    EXPECT_EQ(lines[4].depth, 1);
    EXPECT_EQ(lines[4].pid, lines[2].pid) << "the re-exec keeps its pid";
    EXPECT_EQ(lines[4].rest, "sleep 0.06");
    EXPECT_EQ(run->err(), "");
}

TEST_P(live_test, the_commands_first_exec_is_always_seen)
{
    int seen = 0;
    const int runs = 200;
    for (int i = 0; i < runs; i++) {
        auto run = forklog({"/bin/sleep", "0.005"});
        ASSERT_EQ(run->wait(), 0);
        std::vector<line> lines = parse(run->out());
        if (lines.size() == 1 && lines[0].depth == 0 && lines[0].rest == "/bin/sleep 0.005")
            seen++;
        else
            ADD_FAILURE() << "run " << i << ": " << run->out() << run->err();
    }
    EXPECT_EQ(seen, runs);
}

// forklog ends with the command's status, as env, nice or a shell would.
TEST_P(live_test, the_commands_status_is_the_tools_status)
{
    share_dir();
    std::string text_file = dir + "/notes.txt";
    {
        std::ofstream f(text_file);
        f << "not a program\n";
    }
    struct {
        std::vector<std::string> command;
        int status;
        std::string err;
    } cases[] = {
        {{"/bin/true"}, 0, ""},
        {{"/bin/sh", "-c", "exit 3"}, 3, ""},
        {{"/bin/sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, ""},
        {{"/bin/sh", "-c", "kill -USR1 $$"}, 128 + SIGUSR1, ""},
        {{"/no/such/command", "x"}, 127, "forklog: execvp: No such file or directory\n"},
        {{text_file}, 126, "forklog: execvp: Permission denied\n"},
        {{dir}, 126, "forklog: execvp: Permission denied\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> words = {"-t", "--"};
        words.insert(words.end(), c.command.begin(), c.command.end());
        auto run = forklog(words);
        EXPECT_EQ(run->wait(), c.status) << c.command[0];
        // Without recorded facts a command that ends at once may be gone
        // before its line is read: that warning may come too.
        std::string err = run->err();
        while (!GetParam().records_facts && err.rfind("forklog: kvm_get", 0) == 0)
            err.erase(0, err.find('\n') + 1);
        EXPECT_EQ(err, c.err) << c.command[0];
    }
}

TEST_P(live_test, timing_shows_marks_re_execs_and_the_commands_end)
{
    auto run = forklog({"-t", "/bin/sh", "-c", "sleep 0.05; exec /bin/sleep 0.05"});
    EXPECT_EQ(run->wait(), 0);
    std::vector<line> lines = parse(run->out());
    ASSERT_EQ(lines.size(), 5u) << run->out() << run->err();
    int root = lines[0].pid;
    EXPECT_EQ(lines[0].mark + lines[0].rest, "+/bin/sh -c 'sleep 0.05; exec /bin/sleep 0.05'");
    EXPECT_EQ(lines[1].mark + lines[1].rest, "+sleep 0.05");
    EXPECT_EQ(lines[2].pid, root);
    EXPECT_TRUE(std::regex_match(lines[2].mark + lines[2].rest,
                                 std::regex("-/bin/sh execed time=0\\.[0-9]{3}s")))
        << lines[2].rest;
    EXPECT_EQ(lines[3].mark + lines[3].rest, "+/bin/sleep 0.05");
    EXPECT_TRUE(std::regex_match(
        lines[4].mark + lines[4].rest,
        std::regex("-/bin/sleep exited status=0 time=0\\.(0[4-9]|[1-9][0-9])[0-9]s")))
        << lines[4].rest;

    // A re-exec behind a slot freed meanwhile (the first sleep's) is still
    // a re-exec: the process keeps its own slot.
    auto behind = forklog({"-t", "/bin/sh", "-c",
                           "/bin/sleep 0.1 & sleep 0.02; sh -c 'sleep 0.3; exec /bin/sleep 0.05'"});
    EXPECT_EQ(behind->wait(), 0);
    EXPECT_TRUE(
        std::regex_search(behind->out(), std::regex("\n  [0-9]+- sh execed time=0\\.[0-9]{3}s\n")))
        << behind->out() << behind->err();
    EXPECT_EQ(behind->err(), "");

    auto killed = forklog({"-t", "/bin/sh", "-c", "sleep 0.02; kill -TERM $$"});
    EXPECT_EQ(killed->wait(), 128 + SIGTERM);
    std::string out = killed->out();
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\n[0-9]+- /bin/sh exited signal=TERM time=0\\.[0-9]{3}s\n$")))
        << out;
}

TEST_P(live_test, a_pid_scope_follows_a_running_tree_until_interrupted)
{
    if (privileged_only())
        GTEST_SKIP() << "needs the privilege";
    process_run tree(dir, {"/bin/sh", "-c", "while :; do sh -c 'sleep 0.031'; done"});
    std::this_thread::sleep_for(50ms);
    auto run = forklog({"-p", std::to_string(tree.pid)});
    ASSERT_TRUE(run->wait_for_output("sleep 0.031\n")) << run->out() << run->err();
    run->signal(SIGINT);
    EXPECT_EQ(run->wait(), 0);
    for (const line &l : parse(run->out())) {
        if (l.rest == "sh -c 'sleep 0.031'") {
            EXPECT_EQ(l.depth, 1);
        } else {
            EXPECT_EQ(l.rest, "sleep 0.031");
        }
    }
    EXPECT_EQ(run->err(), "");

    auto missing = forklog({"-p", "2147483000"});
    EXPECT_EQ(missing->wait(), 1);
    EXPECT_EQ(missing->err(), "forklog: kevent: No such process\n");
}

// Depth of pid below pid 1, from /proc.
int depth_below_init(int pid)
{
    int depth = 0;
    while (pid != 1) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            return -1;
        pid = std::stoi(stat.substr(close + 4));
        depth++;
    }
    return depth;
}

TEST_P(live_test, whole_system_scope_follows_trees_that_existed_before_it)
{
    if (privileged_only())
        GTEST_SKIP() << "needs the privilege";
    process_run tree(dir, {"/bin/sh", "-c", "while :; do sleep 0.0417; done"});
    std::this_thread::sleep_for(50ms);
    int tree_depth = depth_below_init(tree.pid);
    ASSERT_GT(tree_depth, 0);
    auto run = forklog({});
    ASSERT_TRUE(run->wait_for_output("sleep 0.0417\n")) << run->err();
    run->signal(SIGINT);
    EXPECT_EQ(run->wait(), 0);
    int seen = 0;
    // Other programs on the system may end before the connector reads them.
    for (const line &l : parse(run->out(), !GetParam().records_facts)) {
        if (l.rest == "sleep 0.0417") {
            EXPECT_EQ(l.depth, tree_depth + 1);
            seen++;
        }
    }
    EXPECT_GE(seen, 1);
}

TEST_P(live_test, user_directory_path_and_environment_show_what_the_process_has)
{
    if (privileged_only())
        GTEST_SKIP() << "needs the privilege";
    std::string odd_dir = dir + "/dir with space\nand newline";
    ASSERT_EQ(mkdir(odd_dir.c_str(), 0755), 0);
    share_dir();
    char shell[PATH_MAX];
    ASSERT_NE(realpath("/bin/sh", shell), nullptr);
    auto run =
        forklog({"-u",         "-d",     "-l",    "-e",    "--",    EXEC_HELPER, odd_dir,   "65534",
                 "A B=1",      "EMPTY=", "=lead", "X=y=z", "PLAIN", "--",        "/bin/sh", "-c",
                 "sleep 0.05", "name",   "it's",  "a\nb",  "",      "\xff\xfe"});
    EXPECT_EQ(run->wait(), 0);
    std::vector<line> lines = parse(run->out());
    ASSERT_EQ(lines.size(), 3u) << run->out() << run->err();
    EXPECT_EQ(lines[1].pid, lines[0].pid);
    std::string quoted_dir = "'" + dir + "/dir with space'$'\\n''and newline'";
    EXPECT_EQ(lines[1].rest, "<nobody> " + quoted_dir + " % " + shell +
                                 " -c 'sleep 0.05' name 'it'\\''s' 'a'$'\\n''b' '' \xff\xfe"
                                 " 'A B'=1 EMPTY='' ''=lead X='y=z' PLAIN");
    std::string sleep_line = "<nobody> " + quoted_dir + " % /usr/bin/sleep 0.05 ";
    EXPECT_EQ(lines[2].rest.substr(0, sleep_line.size()), sleep_line);
}

// The control group is the one the process was in at its exec: a shell
// that moves itself into a new group and then execs shows its old group,
// the program it became the new one.
TEST_P(live_test, the_control_group_is_taken_at_the_exec)
{
    if (privileged_only())
        GTEST_SKIP() << "needs the privilege to make a control group";
    std::string unified;
    for (const char *root : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"})
        if (access((std::string(root) + "/cgroup.procs").c_str(), W_OK) == 0 &&
            access((std::string(root) + "/cgroup.controllers").c_str(), F_OK) == 0) {
            unified = root;
            break;
        }
    if (unified.empty())
        GTEST_SKIP() << "no writable unified control group tree";
    std::ifstream self("/proc/self/cgroup");
    std::string own, entry;
    while (std::getline(self, entry))
        if (entry.rfind("0::", 0) == 0)
            own = entry.substr(3);
    std::string group = "/forklog-live-" + std::to_string(getpid());
    ASSERT_EQ(mkdir((unified + group).c_str(), 0755), 0);
    auto run = forklog(
        {"-c", "--", "/bin/sh", "-c",
         "/bin/sleep 0.2; echo $$ > " + unified + group + "/cgroup.procs && exec /bin/true moved"});
    EXPECT_EQ(run->wait(), 0);
    rmdir((unified + group).c_str());
    std::vector<line> lines = parse(run->out());
    ASSERT_EQ(lines.size(), 3u) << run->out() << run->err();
    EXPECT_EQ(lines[0].rest.substr(0, own.size() + 3), "[" + own + "] ") << lines[0].rest;
    EXPECT_EQ(lines[1].rest, "[" + own + "] /bin/sleep 0.2");
    EXPECT_EQ(lines[2].rest, "[" + group + "] /bin/true moved");
}

// Without the privilege a source that needs it refuses at once; by default
// the tool then traces a command, and still refuses the whole system.
TEST_P(live_test, without_the_privilege_only_a_command_is_traced)
{
    if (!GetParam().unprivileged) {
        process_run run(dir,
                        {EXEC_HELPER, "-", NOBODY, std::string("FORKLOG_SOURCE=") + GetParam().name,
                         "--", FORKLOG_BINARY, "true"});
        EXPECT_EQ(run.wait(), 1);
        EXPECT_EQ(run.err(), "forklog: kqueue: Operation not permitted\n");
        EXPECT_EQ(run.out(), "");
        return;
    }
    unsetenv("FORKLOG_SOURCE");
    process_run whole(dir, {EXEC_HELPER, "-", NOBODY, "--", FORKLOG_BINARY});
    EXPECT_EQ(whole.wait(), 1);
    EXPECT_EQ(whole.err(), "forklog: kqueue: Operation not permitted\n");
    EXPECT_EQ(whole.out(), "");
    process_run command(dir, {EXEC_HELPER, "-", NOBODY, "--", FORKLOG_BINARY, "-t", "/bin/sh", "-c",
                              "/bin/true one; exit 4"});
    EXPECT_EQ(command.wait(), 4);
    std::vector<line> lines = parse(command.out());
    ASSERT_EQ(lines.size(), 3u) << command.out() << command.err();
    EXPECT_EQ(lines[1].rest, "/bin/true one");
    EXPECT_EQ(command.err(), "");
}

// The command starts with what the tool was given: the same blocked and
// ignored signals and descriptors as the same command started directly.
TEST_P(live_test, the_command_inherits_nothing_from_the_tool)
{
    const std::vector<std::vector<std::string>> probes = {
        {"/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"},
        {"/bin/ls", "/proc/self/fd"},
    };
    for (const auto &probe : probes) {
        process_run direct(dir, probe);
        EXPECT_EQ(direct.wait(), 0);
        std::vector<std::string> traced = probe;
        traced.insert(traced.begin(), {"-o", dir + "/lines"});
        auto run = forklog(traced);
        EXPECT_EQ(run->wait(), 0);
        EXPECT_NE(direct.out(), "");
        EXPECT_EQ(run->out(), direct.out()) << probe[0];
        EXPECT_EQ(split_lines(read_file(dir + "/lines")).size(), 1u);
    }
}

// What bash reads back from text (words in the tool's quoted forms), each
// word as it was; empty when bash fails.
std::vector<std::string> bash_words(const std::string &dir, const std::string &text)
{
    std::string script = dir + "/words.sh";
    {
        std::ofstream f(script, std::ios::binary);
        f << "set -H\nprintf '%s\\0' " << text << "\n";
    }
    int status;
    std::string got = output_of("HOME=/home/x bash " + script, &status);
    if (status != 0)
        return {};
    return split_at_nuls(got);
}

// Whether text holds a control character or anything that is not UTF-8.
bool terminal_unsafe(const std::string &text)
{
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int n = c < 0x80                 ? 1
                : c >= 0xc2 && c <= 0xdf ? 2
                : c >= 0xe0 && c <= 0xef ? 3
                : c >= 0xf0 && c <= 0xf4 ? 4
                                         : 0;
        if (n == 0 || i + n > text.size() || c < 0x20 || c == 0x7f ||
            (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0))
            return true;
        for (int k = 1; k < n; k++)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                return true;
        i += static_cast<size_t>(n);
    }
    return false;
}

// On a terminal a watched process cannot clear the screen, retitle the
// window or overwrite a line: every byte the terminal would act on comes as
// an escape, and the line still pastes back into bash as the same words.
TEST_P(live_test, on_a_terminal_no_byte_it_acts_on_goes_out_raw)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    t.c_oflag &= ~OPOST; // the bytes as written, no newline translation
    t.c_lflag &= ~ECHO;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    std::string odd_dir = dir + "/\x1b]0;title\a\x9b"
                                "2J";
    ASSERT_EQ(mkdir(odd_dir.c_str(), 0755), 0);
    const std::vector<std::string> words = {"/bin/sh",
                                            "-c",
                                            "sleep 0.1",
                                            "\x1b[2J\x1b[H\x1b]0;pwned\a",
                                            "\r12345 <root> /usr/bin/passwd",
                                            "\x9b"
                                            "31m",
                                            "c1-\xc2\x9b",
                                            "tab\there",
                                            "\xff\xfe",
                                            "gr\xc3\xbc\xc3\x9f",
                                            "~/x",
                                            "a!b",
                                            "",
                                            "it's\nlines"};
    std::vector<std::string> argv = {FORKLOG_BINARY, "-f",    "-d", "--",
                                     EXEC_HELPER,    odd_dir, "-",  "--"};
    argv.insert(argv.end(), words.begin(), words.end());
    std::vector<char *> args;
    for (std::string &w : argv)
        args.push_back(w.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(slave);
    std::string out;
    char chunk[4096];
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(scaled(10s).count())) <= 0)
            break;
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0)
            break; // EIO once the tool and the command have closed the terminal
        out.append(chunk, static_cast<size_t>(n));
    }
    close(master);
    int status;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> lines = split_lines(out);
    ASSERT_GE(lines.size(), 2u) << testing::PrintToString(out);
    const std::string &last = lines[1];
    EXPECT_FALSE(terminal_unsafe(last)) << testing::PrintToString(last);
    std::vector<std::string> expected = {odd_dir, "%"};
    expected.insert(expected.end(), words.begin(), words.end());
    size_t space = last.find(' ');
    ASSERT_NE(space, std::string::npos);
    EXPECT_EQ(bash_words(dir, last.substr(space + 1)), expected) << testing::PrintToString(last);
}

// Output that cannot be written ends the run with status 1 and says so (a
// reader that has gone ends it quietly); closed standard descriptors are
// never taken over by the tool's own files.
TEST_P(live_test, output_that_cannot_be_written_is_an_error)
{
    share_dir();
    std::string full = dir + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    ASSERT_EQ(system(("mount -t tmpfs -o size=64k none '" + full + "'").c_str()), 0);
    const std::string bin = FORKLOG_BINARY;
    // Lines enough to fill the small file system.
    const std::string busy = "i=0; while [ $i -lt 100 ]; do /bin/sh -c 'sleep 0.01' " +
                             std::string(700, 'a') + "; i=$((i+1)); done";
    struct {
        std::string shell; // run by bash with the tool as $0 and busy as $1
        std::string out;   // bash's own output
        std::string err;
    } cases[] = {
        {"\"$0\" -o /dev/full -- sh -c 'sleep 0.05; true'; echo status=$?", "status=1\n",
         "forklog: cannot write to /dev/full: No space left on device\n"},
        {"\"$0\" -- sh -c 'sleep 0.05; true' >/dev/full; echo status=$?", "status=1\n",
         "forklog: cannot write to standard output: No space left on device\n"},
        {"\"$0\" -o '" + full + "/log' -- sh -c \"$1\"; echo status=$?", "status=1\n",
         "forklog: cannot write to " + full + "/log: No space left on device\n"},
        {"trap '' PIPE; \"$0\" -- sh -c 'sleep 0.2; /bin/sleep 0.01' | true; "
         "echo status=${PIPESTATUS[0]}",
         "status=1\n", ""},
        {"\"$0\" -- sh -c 'sleep 0.05; /bin/sleep 0.01' >&-; echo status=$?", "status=1\n",
         "forklog: standard output is closed\n"},
        {"\"$0\" -o '" + dir + "/log' -- /no/such/command 2>&-; echo status=$?; cat '" + dir +
             "/log'",
         "status=127\n", ""},
    };
    for (const auto &c : cases) {
        process_run run(dir, {"/bin/bash", "-c", c.shell, bin, busy});
        EXPECT_EQ(run.wait(), 0) << c.shell;
        EXPECT_EQ(run.out(), c.out) << c.shell;
        // The connector's warnings for processes that ended at once may come too.
        if (c.err.empty())
            EXPECT_EQ(run.err(), "") << c.shell;
        else
            EXPECT_NE(run.err().find(c.err), std::string::npos) << c.shell << "\n" << run.err();
    }
    EXPECT_EQ(system(("umount '" + full + "'").c_str()), 0);
}

// When the kernel programs cannot load for a reason other than privilege,
// the run goes on with the connector and says that it may capture less.
// Descriptors run out at a different step of the load under each limit,
// and how many the tool needs depends on the kernel and its modules, so
// the limits are swept: each run either works, works with the warning, or
// fails saying that descriptors ran out.
TEST_P(live_test, a_degraded_source_is_said)
{
    if (std::string(GetParam().name) != "ebpf")
        GTEST_SKIP() << "about the default choice of source, made once";
#ifdef __SANITIZE_ADDRESS__
    // Their checks of memory open a pipe, and take valid objects for bad
    // ones once descriptors have run out.
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    unsetenv("FORKLOG_SOURCE");
    const std::string warning =
        "forklog: warning: the kernel programs could not be loaded: [^;\n]*Too many open "
        "files\\)?; using the netlink connector, which may miss programs that end at once\n";
    const std::regex degraded(warning);
    const std::regex failed("(" + warning + ")?forklog: [^\n]*: Too many open files\n");
    int degraded_runs = 0;
    for (int limit = 6; limit <= 40; limit++) {
        process_run run(dir, {"/usr/bin/prlimit", "--nofile=" + std::to_string(limit),
                              FORKLOG_BINARY, "--", "/bin/sh", "-c", "sleep 0.05"});
        int status = run.wait();
        if (status == 1) {
            EXPECT_TRUE(std::regex_match(run.err(), failed)) << limit << "\n" << run.err();
            continue;
        }
        EXPECT_EQ(status, 0) << limit;
        EXPECT_EQ(parse(run.out()).size(), 2u) << limit << "\n" << run.out();
        if (run.err().empty())
            continue;
        EXPECT_TRUE(std::regex_match(run.err(), degraded)) << limit << "\n" << run.err();
        degraded_runs++;
    }
    EXPECT_GT(degraded_runs, 0);
}

// Inside a pid namespace every pid is the namespace's own, and processes
// outside it are never shown, even one whose pid outside equals the
// command's pid inside. The connector cannot work there and says so.
TEST_P(live_test, inside_a_pid_namespace_only_its_own_processes_are_shown)
{
    share_dir();
    process_run host(dir, {"/bin/sh", "-c", "while :; do /bin/echo host-secret; sleep 0.02; done"});
    std::this_thread::sleep_for(50ms);
    const std::string wait_for =
        "for i in $(seq 200); do grep -q \"$2\" \"$1\" 2>/dev/null && break; "
        "/bin/true canary; sleep 0.025; done; ";
    struct {
        std::string
            script; // run by bash in the namespace: $0 the tool, $1 the lines, $2 the expected text
        std::string expected;
    } cases[] = {
        // The command gets the host loop's pid inside the namespace.
        {"echo $((" + std::to_string(host.pid) +
             " - 1)) > /proc/sys/kernel/ns_last_pid; "
             "exec \"$0\" -o \"$1\" -- /bin/sh -c 'sleep 0.2; /bin/true ns-command'",
         std::to_string(host.pid) + " /bin/sh -c 'sleep 0.2; /bin/true ns-command'"},
        {"/bin/sh -c 'while :; do /bin/true ns-process; sleep 0.02; done' & t=$!; "
         "\"$0\" -o \"$1\" -p $t & f=$!; " +
             wait_for + "kill -INT $f; wait $f; kill $t",
         "/bin/true ns-process"},
        {"\"$0\" -o \"$1\" & f=$!; " + wait_for + "kill -INT $f; wait $f", "/bin/true canary"},
    };
    const std::string whole_system = cases[2].script;
    int n = 0;
    for (const auto &c : cases) {
        std::string lines = dir + "/lines." + std::to_string(n++);
        process_run run(dir, {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", "/bin/bash",
                              "-c", c.script, FORKLOG_BINARY, lines, c.expected});
        int status = run.wait();
        std::string out = read_file(lines);
        if (!GetParam().records_facts) {
            EXPECT_NE(run.err().find("forklog: the netlink connector cannot be used inside a pid "
                                     "namespace"),
                      std::string::npos)
                << run.err();
            EXPECT_EQ(out, "");
            break;
        }
        if (GetParam().unprivileged && c.script == whole_system) {
            EXPECT_NE(run.err().find("forklog: the ptrace source follows a command or a process"),
                      std::string::npos)
                << run.err();
            EXPECT_EQ(out, "");
            continue;
        }
        EXPECT_EQ(status, 0) << c.script << run.err();
        EXPECT_NE(out.find(c.expected), std::string::npos) << c.script << "\n" << out << run.err();
        EXPECT_EQ(out.find("host-secret"), std::string::npos) << c.script << "\n" << out;
        for (const line &l : parse(out, true)) {
            if (n > 1) {
                EXPECT_LT(l.pid, 1000) << "a pid of the namespace: " << l.rest;
            }
        }
    }
}

// With -e every exec shows its environment, whatever the execs before it
// were: a first exec that could not be read changes nothing.
TEST_P(live_test, environments_are_shown_from_the_first_exec_to_the_last)
{
    if (privileged_only())
        GTEST_SKIP() << "needs the privilege";
    process_run tree(dir,
                     {"/bin/bash", "-c",
                      "w=$(head -c 131000 /dev/zero | tr '\\0' a); sleep 0.5; "
                      "/bin/true $w $w $w $w $w $w $w $w $w; "
                      "for i in 1 2 3; do env -i FOO=bar$i /bin/sh -c 'sleep 0.05' after$i; done"});
    auto run = forklog({"-f", "-e", "-p", std::to_string(tree.pid)});
    ASSERT_TRUE(run->wait_for_output("after3 FOO=bar3\n")) << run->out() << run->err();
    run->signal(SIGINT);
    EXPECT_EQ(run->wait(), 0);
    std::string out = run->out();
    for (int i = 1; i <= 3; i++) {
        std::string expected = "/bin/sh -c 'sleep 0.05' after" + std::to_string(i) + " FOO=bar" +
                               std::to_string(i) + "\n";
        EXPECT_NE(out.find(expected), std::string::npos) << expected << out;
    }
}

// Whether pid is blocked waiting for events with no time-out: in
// epoll_wait with a timeout of -1, as /proc/PID/syscall shows it.
bool waits_without_timeout(pid_t pid)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    std::string number, fd, events, max, timeout;
    in >> number >> fd >> events >> max >> timeout;
    return (number == std::to_string(SYS_epoll_wait) ||
            number == std::to_string(SYS_epoll_pwait)) &&
           (timeout == "0xffffffff" || timeout == "0xffffffffffffffff");
}

// A quiet run costs nothing: the tool blocks until something happens, with
// no time-out (how often other processes' execs wake it is for the quiet-run
// benchmark to measure), and the first exec after a long quiet spell still
// shows at once.
TEST_P(live_test, a_quiet_run_sleeps_and_wakes_for_the_next_exec)
{
    auto run = forklog({"--", "/bin/sh", "-c", "sleep 3; /bin/sleep 0.2"});
    ASSERT_TRUE(run->wait_for_output("/bin/sh")) << run->err();
    std::this_thread::sleep_for(300ms);
    // The connector hears every exec of the machine, which wakes it now and
    // then: most looks must find the tool blocked.
    int blocked = 0;
    const int looks = 20;
    for (int i = 0; i < looks; i++) {
        blocked += waits_without_timeout(run->pid);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(blocked, looks * 3 / 4) << "looks that found the tool blocked with no time-out";
    auto quiet_end = std::chrono::steady_clock::now();
    ASSERT_TRUE(run->wait_for_output("/bin/sleep 0.2\n", 3s)) << run->out();
    // The command's sleep ends about 0.7 s after the quiet spell measured.
    EXPECT_LT(std::chrono::steady_clock::now() - quiet_end, scaled(1700ms));
    EXPECT_EQ(run->wait(), 0);
}

// JSON Lines with every option: each line one object that Python's json
// module reads, pids, parents and depths that agree with the tree, times
// that increase within a process and lie within a second of the clock.
TEST_P(live_test, json_lines_describe_the_tree_with_times)
{
    std::string lines = dir + "/lines.json";
    double started =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    auto run = forklog({"-j", "-t", "-u", "-d", "-l", "-e", "-o", lines, "--", "/bin/sh", "-c",
                        "sleep 0.05; /bin/sh -c 'sleep 0.05' \"$(printf 'x\\377\\033')\"; "
                        "exec /bin/sleep 0.05"});
    EXPECT_EQ(run->wait(), 0);
    double ended =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string check = dir + "/check.py";
    {
        std::ofstream f(check);
        f << R"(import datetime, json, sys
started, ended = float(sys.argv[2]), float(sys.argv[3])
depth, last, events = {}, {}, []
for line in open(sys.argv[1], encoding="utf-8"):
    o = json.loads(line)
    t = datetime.datetime.strptime(o["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    t = t.replace(tzinfo=datetime.timezone.utc).timestamp()
    assert started - 1 <= t <= ended + 1, ("time", o)
    assert t >= last.get(o["pid"], 0), ("time goes back", o)
    last[o["pid"]] = t
    events.append(o["event"])
    if o["event"] == "exec":
        assert o["depth"] == 0 or depth.get(o["ppid"]) == o["depth"] - 1, ("tree", o)
        depth[o["pid"]] = o["depth"]
        assert o["user"] == sys.argv[4] and o["cwd"] and o["exe"], o
        assert isinstance(o["env"], list) and isinstance(o["argv"], list), o
    if o.get("argv", [""])[-1].startswith("x"):
        assert o["argv"][-1].encode("utf-8", "surrogateescape") == b"x\xff\x1b", o
assert events.count("exec") == 5 and events.count("execed") == 1, events
assert events[-1] == "exit", events
print("ok")
)";
    }
    std::string command = "python3 " + check + " " + lines + " " + std::to_string(started) + " " +
                          std::to_string(ended) + (GetParam().unprivileged ? " nobody" : " root") +
                          " 2>&1";
    int status;
    EXPECT_EQ(output_of(command, &status), "ok\n") << read_file(lines) << run->err();
}

// A megabyte of arguments arrives whole; beyond the size the kernel records
// they come from /proc, whole as well.
TEST_P(live_test, large_argument_areas_arrive_whole)
{
    for (int count : {16, 20}) {
        std::vector<std::string> words = {"--", "/bin/sh", "-c", "sleep 0.2", "name"};
        std::string expected = "/bin/sh -c 'sleep 0.2' name";
        for (int i = 0; i < count; i++) {
            std::string word(65536, static_cast<char>('a' + i));
            words.push_back(word);
            expected += " " + word;
        }
        auto run = forklog(words);
        EXPECT_EQ(run->wait(), 0);
        std::vector<line> lines = parse(run->out());
        ASSERT_GE(lines.size(), 1u) << run->err();
        EXPECT_TRUE(lines[0].rest == expected)
            << count << " words: " << lines[0].rest.size() << " bytes";
    }
}

// Past what the kernel records, its start of the area is the truth: a program
// that rewrites its arguments cannot hide them, and one that ends at once
// still gets its line, cut where the record ends, with a warning.
TEST_P(live_test, the_recorded_start_of_a_huge_area_is_never_spoofed_or_lost)
{
    if (!GetParam().records_facts)
        GTEST_SKIP() << "the connector records nothing at the exec";
    const std::string word(131000, 'b');
    for (const std::vector<std::string> &command :
         {std::vector<std::string>{EXEC_VARIANTS, "rewrite"},
          std::vector<std::string>{"/bin/true"}}) {
        std::vector<std::string> words = {"--"};
        words.insert(words.end(), command.begin(), command.end());
        std::string expected = command.size() == 2 ? command[0] + " " + command[1] : command[0];
        for (int i = 0; i < 12; i++) {
            words.push_back(word);
            expected += " " + word;
        }
        auto run = forklog(words);
        EXPECT_EQ(run->wait(), 0);
        std::vector<line> lines = parse(run->out());
        ASSERT_EQ(lines.size(), 1u) << run->err();
        if (!GetParam().caps_areas) {
            EXPECT_EQ(lines[0].rest, expected) << command[0] << " read whole while it waits";
            EXPECT_EQ(run->err(), "");
            continue;
        }
        // The record holds the area's first MiB: words and their NULs. The
        // line shows the recorded start with a warning; or, from /proc, more
        // when /proc still began with it (a report made before the program
        // rewrote its area or ended, or racing with the rewrite: seen on
        // slow machines). Never the rewritten words, never less.
        size_t recorded = 1 << 20;
        EXPECT_EQ(lines[0].rest.substr(0, recorded), expected.substr(0, recorded)) << command[0];
        EXPECT_EQ(lines[0].rest.find("sshd"), std::string::npos) << command[0];
        if (lines[0].rest.size() == recorded) {
            EXPECT_EQ(run->err(), "forklog: warning: the argument area of process " +
                                      std::to_string(lines[0].pid) + " was cut at 1048576 bytes\n");
        } else {
            EXPECT_EQ(run->err(), "") << command[0];
        }
    }
}

// Paths as /proc shows them: across a mount, in a removed directory, the
// interpreter of a script, the program behind a descriptor; and the exec of
// a second thread, reported with the process's pid.
TEST_P(live_test, paths_and_unusual_execs_are_shown_as_the_system_has_them)
{
    share_dir();
    std::string mnt = dir + "/mnt";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    ASSERT_EQ(system(("mount -t tmpfs none '" + mnt + "'").c_str()), 0);
    std::string script = mnt + "/script";
    {
        std::ofstream f(script);
        f << "#!/bin/sh\nsleep 0.05\n";
    }
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    char shell[PATH_MAX], sleeper[PATH_MAX];
    ASSERT_NE(realpath("/bin/sh", shell), nullptr);
    ASSERT_NE(realpath("/bin/sleep", sleeper), nullptr);
    struct {
        std::string command;
        std::string expected; // the line after the pid
    } cases[] = {
        {"cd '" + mnt + "' && exec ./script x", mnt + " % " + shell + " ./script x"},
        {"mkdir gone && cd gone && rmdir ../gone && exec /bin/sleep 0.05",
         "'" + dir + "/gone (deleted)' % " + sleeper + " 0.05"},
        {"exec " + std::string(EXEC_VARIANTS) + " fexecve /bin/sleep 0.05",
         dir + " % " + sleeper + " 0.05"},
        {"exec " + std::string(EXEC_VARIANTS) + " thread /bin/sleep 0.05",
         dir + " % " + sleeper + " 0.05"},
    };
    // Some kernels refuse an exec through a descriptor in the emulated
    // guests the kernel matrix boots; what forklog shows of it is tested
    // where the system runs it unwatched.
    bool fexecve_works = system((std::string(EXEC_VARIANTS) + " fexecve /bin/true").c_str()) == 0;
    for (const auto &c : cases) {
        if (!fexecve_works && c.command.find(" fexecve ") != std::string::npos) {
            printf("skipped the exec through a descriptor: it fails here without forklog\n");
            continue;
        }
        auto run = forklog({"-d", "-l", "-f", "/bin/sh", "-c", "cd '" + dir + "' && " + c.command});
        EXPECT_EQ(run->wait(), 0);
        // Without recorded facts a program that ends at once (mkdir) may be
        // gone before its line is read, leaving an empty line.
        std::vector<line> lines = parse(run->out(), !GetParam().records_facts);
        ASSERT_FALSE(lines.empty()) << c.command << run->err();
        bool seen = false;
        for (const line &l : lines)
            seen = seen || (l.pid == lines.front().pid && l.rest == c.expected);
        EXPECT_TRUE(seen) << "no line " << c.expected << " in\n" << run->out() << run->err();
    }
    EXPECT_EQ(system(("umount '" + mnt + "'").c_str()), 0);
}

// Every exec of a storm of short processes gives exactly one outcome: its
// line, an empty line with a warning (the process ended before it could be
// read), or a depth message; nothing is lost. Every end frees its slot, so
// thousands of processes one after another never fill the table, and the
// only re-exec line is the command's own.
TEST_P(live_test, an_exec_storm_loses_nothing_and_every_line_is_whole)
{
    const int execs = 3000;
    auto run = forklog({"-t", "/bin/sh", "-c",
                        "i=0; while [ $i -lt " + std::to_string(execs) +
                            " ]; do /bin/true; i=$((i+1)); done; exec /bin/true last"});
    EXPECT_EQ(run->wait(60s), 0);
    std::string out = run->out();
    ASSERT_TRUE(out.empty() || out.back() == '\n');
    int lines = 0, empty = 0, re_execs = 0;
    const std::regex exec_line("^(  )?[0-9]+\\+ /bin/(true|true last|sh -c .*)$");
    const std::regex other_line(
        "^[0-9]+- /bin/(sh execed|(true|sh) exited status=0) time=[0-9.]+s$");
    for (const std::string &l : split_lines(out)) {
        if (l.empty()) {
            empty++;
        } else if (std::regex_match(l, exec_line)) {
            lines++;
        } else if (std::regex_match(l, other_line)) {
            re_execs += l.find(" execed ") != std::string::npos;
        } else {
            ADD_FAILURE() << "not an expected line: " << l;
        }
    }
    // Without recorded facts the last exec may end before it can be read.
    EXPECT_EQ(re_execs, GetParam().records_facts ? 1 : re_execs) << "the command's own re-exec";
    EXPECT_LE(re_execs, 1) << "no re-exec line for a new process";
    // "kvm_getprocs" is both the depth walk's message and the warning after
    // an empty line: the two texts are the same.
    int getprocs = 0, getargv = 0;
    for (const std::string &l : split_lines(run->err())) {
        if (l == "forklog: kvm_getprocs: No such process")
            getprocs++;
        else if (l == "forklog: kvm_getargv: No such process")
            getargv++;
        else
            ADD_FAILURE() << "unexpected message: " << l;
    }
    EXPECT_EQ(lines + getargv + getprocs, execs + 2);
    EXPECT_GE(empty, getargv);
    EXPECT_LE(empty, getargv + getprocs);
    if (GetParam().records_facts) {
        EXPECT_EQ(lines, execs + 2) << "the kernel recorded every exec's facts";
    }
    printf("storm of %d execs: %d lines, %d empty lines, %d gone before the depth walk\n", execs,
           lines, empty, getargv + getprocs - empty);
}

// A process whose parent has ended is still watched and still placed under
// its creator: its later execs keep their lines.
TEST_P(live_test, an_orphan_keeps_its_lines_under_its_creator)
{
    std::string lines = dir + "/lines";
    auto run = forklog({"-o", lines, "--", "/bin/sh", "-c",
                        "( (/bin/sleep 0.101; sleep 0.3; /bin/sleep 0.102) & ); "
                        "sleep 1; /bin/sleep 0.103"});
    EXPECT_EQ(run->wait(), 0);
    std::map<std::string, int> depth;
    for (const line &l : parse(read_file(lines)))
        depth[l.rest] = l.depth;
    ASSERT_EQ(depth.count("/bin/sleep 0.101"), 1u) << read_file(lines) << run->err();
    ASSERT_EQ(depth.count("/bin/sleep 0.102"), 1u) << read_file(lines) << run->err();
    // sh, its subshell (which ends at once), the background job that forks
    // the first echo and becomes the last.
    EXPECT_EQ(depth["/bin/sleep 0.101"], 3);
    EXPECT_EQ(depth["/bin/sleep 0.102"], 2);
    EXPECT_EQ(depth["/bin/sleep 0.103"], 1);
    EXPECT_EQ(run->err(), "");
}

// In whole-system scope too, every exec of programs that end at once gets
// its exact line when the kernel records the facts; otherwise every line is
// still whole.
TEST_P(live_test, a_whole_system_storm_of_short_programs)
{
    if (privileged_only())
        GTEST_SKIP() << "needs the privilege";
    auto run = forklog({});
    // Ready once a canary exec shows.
    bool ready = false;
    for (int i = 0; i < 200 && !ready; i++) {
        process_run canary(dir, {"/bin/sleep", "0.0101"});
        canary.wait();
        ready = run->out().find("sleep 0.0101\n") != std::string::npos;
    }
    ASSERT_TRUE(ready) << run->err();
    const int execs = 1000;
    process_run storm(dir, {"/bin/sh", "-c",
                            "i=0; while [ $i -lt " + std::to_string(execs) +
                                " ]; do /bin/true storm-$i; i=$((i+1)); done"});
    EXPECT_EQ(storm.wait(60s), 0);
    std::this_thread::sleep_for(scaled(200ms));
    run->signal(SIGINT);
    EXPECT_EQ(run->wait(), 0);
    std::set<std::string> seen;
    for (const line &l : parse(run->out(), true))
        if (l.rest.rfind("/bin/true storm-", 0) == 0)
            seen.insert(l.rest);
    if (GetParam().records_facts) {
        EXPECT_EQ(static_cast<int>(seen.size()), execs);
    }
    printf("whole-system storm of %d execs: %zu exact lines\n", execs, seen.size());
}

// A watched program behaves as it does unwatched: a child stopped and
// continued from outside is seen so by its parent, a signal handler runs,
// posix_spawn (a vfork and an exec) works.
TEST_P(live_test, programs_behave_as_they_do_unwatched)
{
    for (const char *mode : {"jobs", "handler", "spawn"}) {
        process_run direct(dir, {TRACED_BEHAVIOUR, mode});
        int direct_status = direct.wait();
        auto run = forklog({"-o", dir + "/lines." + mode, "--", TRACED_BEHAVIOUR, mode});
        EXPECT_EQ(run->wait(), direct_status) << mode;
        EXPECT_NE(direct.out(), "") << mode;
        EXPECT_EQ(run->out(), direct.out()) << mode;
        // Without recorded facts a program that ends at once may be gone
        // before its line is read: that warning may come.
        std::string err = run->err();
        while (!GetParam().records_facts && err.rfind("forklog: kvm_get", 0) == 0)
            err.erase(0, err.find('\n') + 1);
        EXPECT_EQ(err, "") << mode;
    }
}

// A child whose creator is killed right after creating it (before the
// creator's event could be read) runs on: a command substitution that waits
// for such orphans on its pipe finishes as it does unwatched.
TEST_P(live_test, an_orphan_of_a_killed_creator_is_never_left_stopped)
{
    const std::string loop = "for r in 1 2 3 4 5 6 7 8 9 1 2 3 4 5 6 7 8 9; do out=$(" +
                             std::string(TRACED_BEHAVIOUR) +
                             " forkloop & P=$!; sleep 0.0$r; kill -9 $P); done; echo all-done";
    auto run = forklog({"-o", dir + "/lines", "--", "/bin/sh", "-c", loop});
    EXPECT_EQ(run->wait(30s), 0);
    EXPECT_EQ(run->out(), "all-done\n");
}

// An interactive bash on a pseudo-terminal, with job control, for typing
// at as a user does.
class interactive_shell {
public:
    interactive_shell()
    {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            setenv("PS1", "P> ", 1);
            execl("/bin/bash", "bash", "--norc", "--noprofile", "-i", static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~interactive_shell()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
    }

    void type(const std::string &keys)
    {
        EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads until text shows after what was read before (or after since,
    // when given); false at the limit.
    bool await(const std::string &text, std::chrono::milliseconds limit = 10s,
               size_t since = std::string::npos)
    {
        if (since != std::string::npos)
            from_ = std::min(from_, since);
        auto deadline = std::chrono::steady_clock::now() + scaled(limit);
        while (seen_.find(text, from_) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd p = {master_, POLLIN, 0};
            char chunk[4096];
            ssize_t n;
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
                (n = read(master_, chunk, sizeof chunk)) <= 0)
                return false;
            seen_.append(chunk, static_cast<size_t>(n));
        }
        from_ = seen_.find(text, from_) + text.size();
        return true;
    }

    const std::string &seen() const { return seen_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string seen_;
    size_t from_ = 0;
};

// Job control as a shell does it: a command that stops itself stops the
// tool's job, so the prompt comes back, and fg goes on; a program that
// handles the terminal's stop (as less does) stops and, after fg, runs on.
TEST_P(live_test, job_control_on_a_terminal_works_as_without_the_tool)
{
    std::string forklog_words = std::string("FORKLOG_SOURCE=") + GetParam().name + " ";
    if (GetParam().unprivileged)
        forklog_words += std::string("/usr/bin/setpriv --reuid=") + NOBODY + " --regid=" + NOBODY +
                         " --clear-groups -- ";
    forklog_words += std::string(FORKLOG_BINARY) + " -o /dev/null -- ";
    interactive_shell shell;
    ASSERT_TRUE(shell.await("P> ")) << shell.seen();

    shell.type(forklog_words + "/bin/sh -c 'echo before; kill -STOP $$; echo after'\n");
    ASSERT_TRUE(shell.await("before")) << shell.seen();
    ASSERT_TRUE(shell.await("Stopped")) << "the prompt comes back: " << shell.seen();
    ASSERT_TRUE(shell.await("P> ")) << shell.seen();
    shell.type("fg\n");
    ASSERT_TRUE(shell.await("after")) << shell.seen();
    ASSERT_TRUE(shell.await("P> ")) << shell.seen();

    shell.type(forklog_words + TRACED_BEHAVIOUR + " tstp\n");
    ASSERT_TRUE(shell.await("ready")) << shell.seen();
    size_t typed = shell.seen().size();
    shell.type("\x1a"); // Ctrl-Z
    // The shell's word and the handler's come in either order.
    ASSERT_TRUE(shell.await("handler: stopping")) << shell.seen();
    ASSERT_TRUE(shell.await("Stopped", 10s, typed)) << shell.seen();
    ASSERT_TRUE(shell.await("P> ")) << shell.seen();
    shell.type("fg\n");
    ASSERT_TRUE(shell.await("handler: resumed")) << "the program runs on: " << shell.seen();
    ASSERT_TRUE(shell.await("P> ")) << shell.seen();
}

// Interrupted or killed, the tool ends and the command goes on with its
// work, no longer watched.
TEST_P(live_test, the_command_outlives_the_tool)
{
    for (int sig : {SIGINT, SIGKILL}) {
        std::string done = dir + "/done." + std::to_string(sig);
        auto run =
            forklog({"--", "/bin/sh", "-c", "sleep 0.5; /bin/sleep 0.01; echo finished > " + done});
        ASSERT_TRUE(run->wait_for_output("/bin/sh")) << run->err();
        run->signal(sig);
        EXPECT_EQ(run->wait(), sig == SIGINT ? 0 : 128 + SIGKILL);
        auto deadline = std::chrono::steady_clock::now() + scaled(3s);
        while (read_file(done).empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(read_file(done), "finished\n") << strsignal(sig);
    }
}

// An output that is not read holds up neither the watched programs nor the
// end of the run: the lines wait in memory, and an interrupt ends the run at
// once, saying how many lines were not written.
TEST_P(live_test, a_stalled_reader_holds_up_neither_the_command_nor_an_interrupt)
{
    std::vector<std::string> tool;
    if (GetParam().unprivileged)
        tool = {"/usr/bin/setpriv", std::string("--reuid=") + NOBODY,
                std::string("--regid=") + NOBODY, "--clear-groups", "--"};
    tool.push_back(FORKLOG_BINARY);
    // Lines of some kilobytes each, far more than a pipe holds.
    const std::string command =
        "export BIG=$(head -c 3000 /dev/zero | tr '\\0' x); i=0; "
        "while [ $i -lt 300 ]; do /bin/true $i; i=$((i+1)); done; : > \"$0\"";
    const std::string script =
        "d=$1; shift; exec 3> >(exec sleep 600); reader=$!; "
        "\"$@\" -e -- sh -c \"$0\" \"$d/done\" >&3 2>\"$d/err\" & "
        "echo $! > \"$d/tool\"; exec 3>&-; wait $!; echo status=$?; kill $reader";
    std::vector<std::string> words = {"/bin/bash", "-c", script, command, dir};
    words.insert(words.end(), tool.begin(), tool.end());
    process_run run(dir, words);
    auto deadline = std::chrono::steady_clock::now() + scaled(10s);
    while (access((dir + "/done").c_str(), F_OK) != 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(access((dir + "/done").c_str(), F_OK), 0) << "the command was held up";
    std::string pid = read_file(dir + "/tool");
    ASSERT_FALSE(pid.empty());
    kill(std::stoi(pid), SIGINT);
    EXPECT_EQ(run.wait(3s), 0);
    EXPECT_EQ(run.out(), "status=1\n");
    // The connector may also say which of the programs ended before it read them.
    const std::string err = read_file(dir + "/err");
    const std::string lost =
        GetParam().records_facts ? "" : "(forklog: kvm_getargv: No such process\n)*";
    EXPECT_TRUE(
        std::regex_match(err, std::regex(lost + "forklog: interrupted with [0-9]+ lines not "
                                                "written to standard output\n")))
        << err;
}

// A process whose threads keep making threads is followed whole from the
// moment the tool has it: every exec after the first one shown is shown.
TEST_P(live_test, a_process_whose_threads_keep_making_threads_is_followed_whole)
{
    if (!GetParam().records_facts)
        GTEST_SKIP() << "the connector records nothing at the exec";
    std::vector<std::string> helper = {TRACED_BEHAVIOUR, "threads"};
    if (GetParam().unprivileged)
        helper.insert(helper.begin(), {"/usr/bin/setpriv", std::string("--reuid=") + NOBODY,
                                       std::string("--regid=") + NOBODY, "--clear-groups", "--"});
    // Attaching races the threads differently each time.
    for (int round = 0; round < 3; round++) {
        process_run threads(dir, helper);
        std::this_thread::sleep_for(30ms);
        auto run = forklog({"-p", std::to_string(threads.pid)});
        ASSERT_TRUE(run->wait_for_output(" tick ")) << run->out() << run->err();
        std::this_thread::sleep_for(10ms);
        const std::string out = run->out();
        size_t at = out.find(" tick ") + 6;
        int first = std::stoi(out.substr(at));
        const int last = first + 40;
        EXPECT_TRUE(run->wait_for_output("/bin/true tick " + std::to_string(last) + "\n"))
            << "the threads made while the tool attached were missed: " << run->out();
        run->signal(SIGINT);
        EXPECT_EQ(run->wait(), 0);
        std::set<int> seen;
        for (const line &l : parse(run->out()))
            if (l.rest.rfind("/bin/true tick ", 0) == 0)
                seen.insert(std::stoi(l.rest.substr(15)));
        for (int n = first; n <= last; n++)
            EXPECT_TRUE(seen.count(n)) << "tick " << n << " missing";
        EXPECT_EQ(run->err(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(sources, live_test, ::testing::ValuesIn(sources()),
                         [](const ::testing::TestParamInfo<source> &info) {
                             return info.param.name;
                         });

} // namespace
