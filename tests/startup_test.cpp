// Start-up: the order of its steps, its fatal lines, and the snapshot rules.
#include "procdb/pid_db.h"
#include "run/startup.h"
#include "run_fixture.h"

namespace {

using startup_test = run_test;

std::vector<std::string> idents(const std::vector<struct os::kevent> &watches)
{
    std::vector<std::string> out;
    for (const auto &w : watches)
        out.push_back(std::to_string(w.filter) + ":" + std::to_string(w.ident) + ":" +
                      std::to_string(w.fflags));
    return out;
}

TEST_F(startup_test, command_scope_watches_sigchld_forks_then_watches_sigint_and_the_root)
{
    fake::add(4242, 1, {"make"});
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({"make", "-j4"}), 0);
    EXPECT_EQ(run_settings.root_pid, 4242);
    EXPECT_EQ(idents(fake::k.watches),
              (std::vector<std::string>{"-6:20:0", "-6:2:0", "-6:1:0",
                                        "-5:4242:" + std::to_string(0x20000001),
                                        "-5:4242:" + std::to_string(0xa0000001)}))
        << "refused if the root has ended, then with exit notes";
    EXPECT_EQ(fake::k.signal_calls,
              (std::vector<std::pair<int, int>>{
                  {18, os::SIGNAL_IGNORE}, {2, os::SIGNAL_IGNORE}, {1, os::SIGNAL_IGNORE}}))
        << "the command's stop, then SIGINT, and SIGHUP, which reopens the -o file";
    EXPECT_EQ(messages, "");
}

TEST_F(startup_test, the_whole_system_snapshot_skips_only_pid_0_and_zombies)
{
    fake::add(0, 0, {"swapper"});
    fake::add(2, 0, {"kthread"});
    fake::add(10, 1, {"sshd"});
    fake::add(11, 10, {"dead"}).stat = os::SZOMB;
    fake::add(12, 10, {"sh"});
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({}), 0);
    const std::string all = std::to_string(0xa0000001);
    EXPECT_EQ(idents(fake::k.watches),
              (std::vector<std::string>{"-6:2:0", "-6:1:0", "-5:1:" + all, "-5:2:" + all,
                                        "-5:10:" + all, "-5:12:" + all}));
    EXPECT_EQ(fake::k.change_sizes, (std::vector<int>{1, 1, 6})) << "one entry per record";
}

// The platform hears before any watch whether environments will be asked
// for, so that it can record them from the first exec on.
TEST_F(startup_test, the_platform_is_told_whether_environments_are_wanted)
{
    fake::k.before_wait = [] { EXPECT_EQ(fake::k.will_ask_env, 1); };
    fake::add(4242, 1, {"env"});
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({"-e", "env"}), 0);
    restart();
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({"-p", "1"}), 0);
    EXPECT_EQ(fake::k.will_ask_env, 0);
}

// Some ways to watch processes cannot watch the whole system: the platform
// hears the scope before it makes the queue.
TEST_F(startup_test, the_platform_is_told_the_scope_before_the_queue_is_made)
{
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{}, 1}, {{"-p", "1"}, 1}, {{"-p", "4242"}, 0}, {{"env"}, 0}};
    for (const auto &[words, whole_system] : cases) {
        restart();
        fake::add(4242, 1, {"env"});
        batch({fake::signal_note(os::SIGNO_INT)});
        run(words);
        EXPECT_EQ(fake::k.watch_told_at_kqueue, whole_system) << testing::PrintToString(words);
    }
}

// Processes end all the time on a busy machine: no news for the user.
TEST_F(startup_test, a_process_ending_during_registration_takes_a_new_snapshot_quietly)
{
    fake::add(10, 1, {"sh"}).vanish_after_snapshot = true;
    fake::add(12, 1, {"sh"});
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(fake::k.queries.snapshot, 2);

    restart();
    fake::k.change_errnos = {0, 0, ESRCH, ESRCH, 0};
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(fake::k.queries.snapshot, 3);
}

TEST_F(startup_test, another_registration_failure_warns_once_and_the_run_goes_on)
{
    fake::add(10, 1, {"sh"});
    fake::k.change_errnos = {0, 0, EPERM};
    batch({fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(messages, started_as("kevent ALL: Operation not permitted\n"));
    EXPECT_EQ(fake::k.queries.snapshot, 1);
}

TEST_F(startup_test, an_unreadable_snapshot_gives_status_255_without_reading_notes)
{
    fake::k.snapshot_fails = true;
    fake::k.kvm_error = "cannot read /proc";
    EXPECT_EQ(run({}), -1);
    EXPECT_EQ(messages, "forklog: kvm_getprocs ALL: cannot read /proc\n");
    EXPECT_EQ(fake::k.queries.waits, 0);
}

using startup_death_test = startup_test;

TEST_F(startup_death_test, each_fatal_step_writes_its_line_and_ends_with_its_status)
{
    struct {
        std::function<void()> script;
        std::vector<std::string> words;
        std::string line;
        int status;
    } cases[] = {
        {[] { fake::k.kqueue_errno = EPERM; },
         {},
         started_as("kqueue: Operation not permitted\n"),
         1},
        {[] { fake::k.kvm_open_errno = EACCES; },
         {},
         started_as("kvm_open: Permission denied\n"),
         1},
        {[] { fake::k.change_errnos = {EBADF}; },
         {"ls"},
         started_as("kevent: Bad file descriptor\n"),
         1},
        {[] { fake::k.fork_result = -1; },
         {"ls"},
         started_as("fork: Resource temporarily unavailable\n"),
         1},
        {[] {
             fake::k.change_errnos = {0, ENOMEM};
         },
         {"ls"},
         started_as("kevent: Cannot allocate memory\n"),
         1},
        {[] {}, {"-p", "999"}, started_as("kevent: No such process\n"), 1},
        // In the command's own process, with the statuses shells use.
        {[] { fake::k.fork_result = 0; },
         {"no-such-cmd"},
         started_as("execvp: No such file or directory\n"),
         127},
        {[] {
             fake::k.fork_result = 0;
             fake::k.execvp_errno = EACCES;
         },
         {"./notes.txt"},
         started_as("execvp: Permission denied\n"),
         126},
    };
    for (const auto &c : cases) {
        fake::reset();
        fake::add(4242, 1, {"ls"});
        c.script();
        EXPECT_EXIT(run_uncaptured(c.words), testing::ExitedWithCode(c.status),
                    std::string("^") + c.line + "$")
            << c.line;
    }
}

} // namespace
