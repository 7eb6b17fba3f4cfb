// Whole runs on the fake kernel: the dispatch of notes, reaping, and the
// lines that reach the output.
#include <algorithm>

#include "procdb/pid_db.h"
#include "run_fixture.h"

namespace {

using os::NOTE_CHILD;
using os::NOTE_EXEC;
using os::NOTE_EXIT;

class event_loop_test : public run_test {
protected:
    static struct os::kevent exec_of(int pid) { return fake::proc_note(pid, NOTE_EXEC); }
    static struct os::kevent sigchld() { return fake::signal_note(os::SIGNO_CHLD); }
    static struct os::kevent sigint() { return fake::signal_note(os::SIGNO_INT); }
};

TEST_F(event_loop_test, timing_in_command_scope_shows_exec_re_exec_and_the_reaped_end)
{
    fake::process &cmd = fake::add(4242, 1, {"sh", "-c", "x"});
    cmd.start = {100, 0};
    fake::add(4243, 4242, {"cc", "a.c"}).start = {100, 500000};
    const std::string long_word = "a-program-name-much-longer-than-31";
    fake::k.clock = {101, 0};
    batch({exec_of(4242), exec_of(4243)});
    fake::k.before_wait = [&] {
        if (fake::k.batches.size() == 1) {
            cmd.argv = {long_word};
            fake::k.clock = {103, 250000};
        }
    };
    batch({exec_of(4242), sigchld(), exec_of(4243)});
    fake::k.ended_children = {{4242, 0x86}};
    EXPECT_EQ(run({"-t", "sh", "-c", "x"}), 128 + 6) << "ended by signal 6, as a shell says it";
    EXPECT_EQ(lines(), "4242+ sh -c x\n"
                       "  4243+ cc a.c\n"
                       "4242- sh execed time=3.250s\n"
                       "4242+ " +
                           long_word +
                           "\n"
                           "4242- " +
                           long_word.substr(0, 31) + " exited signal=ABRT time=0.000s\n");
    EXPECT_EQ(fake::k.batches.size(), 0u);
    EXPECT_EQ(fake::k.queries.argv, 3) << "the exec after the command's end is not handled";
}

TEST_F(event_loop_test, the_commands_end_without_timing_writes_nothing_and_gives_its_status)
{
    fake::add(4242, 1, {"false"});
    batch({exec_of(4242)});
    batch({sigchld()});
    fake::k.ended_children = {{4242, 0x300}};
    EXPECT_EQ(run({"false"}), 3);
    EXPECT_EQ(lines(), "4242 false\n");

    restart();
    fake::add(4242, 1, {"sleep"});
    batch({exec_of(4242), sigint()});
    EXPECT_EQ(run({"sleep", "9"}), 0) << "a run ended by SIGINT keeps status 0";

    restart();
    fake::add(4242, 1, {"sleep"});
    batch({exec_of(4242), sigint()});
    fake::k.lines_left_at_interrupt = 3;
    EXPECT_EQ(run({"sleep", "9"}), 1) << "lines the output did not take are lost";
    EXPECT_EQ(messages, "forklog: interrupted with 3 lines not written to " + path + "\n");
}

// Ends are seen in every scope, so slots are freed and a pid used again is a
// new process; exit lines stay the command's alone, from its reaping.
TEST_F(event_loop_test, ends_free_slots_in_command_scope_without_lines_of_their_own)
{
    fake::add(4242, 1, {"sh"});
    batch({exec_of(4242)});
    const int runs = 3000;
    for (int i = 0; i < runs; i++) {
        int pid = 5000 + i % 1500; // pids come round again
        fake::add(pid, 4242, {"true", std::to_string(i)});
        batch({exec_of(pid), fake::proc_note(pid, NOTE_EXIT, 0)});
    }
    batch({fake::proc_note(4242, NOTE_EXIT, 0), exec_of(4242)});
    fake::k.before_wait = [&] {
        if (fake::k.batches.size() == 2)
            fake::k.procs[4242].argv = {"make"};
    };
    batch({sigchld()});
    fake::k.ended_children = {{4242, 0}};
    EXPECT_EQ(run({"-t", "sh"}), 0);
    EXPECT_EQ(messages, "") << "no overflow";
    std::string out = lines();
    size_t execed = 0;
    for (size_t at = 0; (at = out.find(" execed ", at)) != std::string::npos; at++)
        execed++;
    EXPECT_EQ(execed, 1u) << "only the command's own re-exec";
    EXPECT_NE(out.find("4242- sh execed time="), std::string::npos);
    EXPECT_NE(out.find("\n4242+ make\n4242- make exited status=0 time="), std::string::npos)
        << "the command's exit note left its slot for the reaping";
    EXPECT_EQ(out.find("5000- "), std::string::npos);
}

TEST_F(event_loop_test, ends_free_slots_in_process_scope_without_lines)
{
    fake::add(300, 1, {"sh"});
    fake::add(301, 300, {"true"});
    batch({exec_of(301), fake::proc_note(301, NOTE_EXIT, 0)});
    batch({exec_of(300), fake::proc_note(300, NOTE_EXIT, 0x100)});
    batch({sigint()});
    EXPECT_EQ(run({"-t", "-p", "300"}), 0);
    EXPECT_EQ(lines(), "  301+ true\n300+ sh\n");
    for (const pid_db_entry &slot : pid_db)
        EXPECT_EQ(slot.pid, 0);
}

TEST_F(event_loop_test, sigchld_reaps_every_ended_child)
{
    fake::add(4242, 1, {"sh"});
    batch({exec_of(4242), sigchld()});
    fake::k.ended_children = {{777, 0}, {4242, 0}, {778, 0}};
    EXPECT_EQ(run({"-t", "sh"}), 0);
    EXPECT_TRUE(fake::k.ended_children.empty());
}

// A command that stops (kill -STOP $$) stops the tool with the same signal,
// so the shell sees its job stopped; continued, the tool continues the
// command. A stop is no end.
TEST_F(event_loop_test, a_stopped_command_stops_the_tool_and_is_continued_with_it)
{
    fake::add(4242, 1, {"sh"});
    batch({exec_of(4242), sigchld()});
    batch({sigchld()});
    const int stopped_by_tstp = (os::SIGNO_TSTP << 8) | 0x7f;
    fake::k.before_wait = [&] {
        if (fake::k.batches.size() == 2)
            fake::k.ended_children = {{4242, stopped_by_tstp}, {777, stopped_by_tstp}};
        else
            fake::k.ended_children = {{4242, 0x100}};
    };
    EXPECT_EQ(run({"-t", "sh"}), 1);
    EXPECT_EQ(fake::k.stops, std::vector<int>{os::SIGNO_TSTP}) << "only the command's stop";
    EXPECT_EQ(fake::k.kills, (std::vector<std::pair<int, int>>{{4242, os::SIGNO_CONT}}));
    EXPECT_EQ(lines(), "4242+ sh\n4242- sh exited status=1 time=0.000s\n")
        << "no exit line for a stop";
}

// Ctrl-Z stops the tool with the command, and fg continues both before the
// tool reads the command's stop: that stop is over, and stopping again would
// leave the job stopped.
TEST_F(event_loop_test, a_stop_that_is_already_over_stops_nothing)
{
    fake::add(4242, 1, {"sh"});
    batch({exec_of(4242), sigchld()});
    batch({sigchld()});
    fake::k.running_again = {4242};
    fake::k.before_wait = [&] {
        if (fake::k.batches.size() == 2)
            fake::k.ended_children = {{4242, (os::SIGNO_TSTP << 8) | 0x7f}};
        else
            fake::k.ended_children = {{4242, 0}};
    };
    EXPECT_EQ(run({"sh"}), 0);
    EXPECT_TRUE(fake::k.stops.empty());
    EXPECT_TRUE(fake::k.kills.empty());
}

TEST_F(event_loop_test, exit_is_tested_before_exec_and_child_notes_are_passed_over)
{
    fake::add(10, 1, {"make"});
    fake::add(11, 10, {"cc"});
    batch({exec_of(10), fake::proc_note(11, NOTE_CHILD)});
    batch({fake::proc_note(11, NOTE_EXEC | NOTE_EXIT, 0x100), fake::proc_note(10, NOTE_EXIT, 0)});
    batch({sigint(), exec_of(11)});
    EXPECT_EQ(run({"-t"}), 0);
    EXPECT_EQ(lines(), "  10+ make\n"
                       "  10- make exited status=0 time=0.000s\n");
    EXPECT_EQ(fake::k.queries.argv, 1);
}

TEST_F(event_loop_test, exit_notes_free_slots_even_without_timing)
{
    fake::add(10, 1, {"make"});
    batch({exec_of(10)});
    fake::k.before_wait = [] {
        if (fake::k.batches.size() == 1) {
            EXPECT_EQ(pid_db[0].pid, 10);
        }
    };
    batch({fake::proc_note(10, NOTE_EXIT, 0), sigint()});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(pid_db[0].pid, 0);
    EXPECT_EQ(lines(), "  10 make\n");
}

// A line that cannot be written ends the run at once, with one message.
TEST_F(event_loop_test, output_that_cannot_be_written_ends_the_run_with_status_1)
{
    fake::add(10, 1, {"make"});
    fake::add(11, 10, {"cc"});
    batch({exec_of(10)});
    batch({exec_of(11)});
    EXPECT_EQ(run({"-o", "/dev/full"}), 1);
    EXPECT_EQ(messages, "forklog: cannot write to /dev/full: No space left on device\n");
    EXPECT_EQ(fake::k.batches.size(), 1u) << "no note is read after the failure";
}

TEST_F(event_loop_test, failed_waits_and_foreign_notes_are_passed_over)
{
    batch({});
    struct os::kevent other = fake::signal_note(15);
    struct os::kevent odd = {};
    odd.filter = -9;
    batch({other, odd});
    batch({sigint()});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(lines(), "");
}

TEST_F(event_loop_test, each_line_reaches_the_output_whole)
{
    fake::add(10, 1, {"make", "all"});
    fake::add(11, 10, {"cc"}).records_until_failure = 1;
    fake::add(12, 10, {"ld"});
    batch({exec_of(10)});
    batch({exec_of(11)});
    batch({exec_of(12)});
    batch({sigint()});
    std::vector<std::string> seen;
    fake::k.before_wait = [&] { seen.push_back(lines()); };
    EXPECT_EQ(run({"-t"}), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "",
                        "  10+ make all\n",
                        "  10+ make all\n", // the lone newline of 11 waits
                        "  10+ make all\n\n    12+ ld\n",
                    }));
    EXPECT_EQ(messages, started_as("kvm_getprocs: No such process\n"));
}

// Log rotation: SIGHUP reopens the file named by -o, after the lines
// before it have gone to the old one; no -o, no SIGHUP watch.
TEST_F(event_loop_test, sighup_reopens_the_output_file_between_lines)
{
    fake::add(10, 1, {"make"});
    fake::add(11, 10, {"cc"});
    batch({exec_of(10), fake::signal_note(os::SIGNO_HUP), exec_of(11), sigint()});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(fake::k.reopened, std::vector<std::string>{path});
    EXPECT_EQ(lines(), "  10 make\n    11 cc\n");
    bool hup_watched = std::any_of(fake::k.watches.begin(), fake::k.watches.end(), [](auto &w) {
        return w.filter == os::EVFILT_SIGNAL && w.ident == static_cast<uintptr_t>(os::SIGNO_HUP);
    });
    EXPECT_TRUE(hup_watched);
}

} // namespace
