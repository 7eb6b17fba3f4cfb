// The tracer's decisions replayed from recorded sequences of wait statuses:
// new tracees whose first stop comes before or after their creator's
// event, execs, signals passed on, group stops told to the tool's waits
// once, threads ending, and creators killed before their event was read.
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <vector>

#include "platform/linux/sources/ptrace/tracee_stops.h"

namespace {

using namespace linux_layer;

// Wait statuses as the kernel makes them for a seized tracee.
int event_stop(int event, int sig = SIGTRAP)
{
    return ((sig | (event << 8)) << 8) | 0x7f;
}
int signal_stop(int sig)
{
    return W_STOPCODE(sig);
}
int first_stop()
{
    return event_stop(PTRACE_EVENT_STOP);
}
int group_stop(int sig)
{
    return event_stop(PTRACE_EVENT_STOP, sig);
}
int exited(int code)
{
    return W_EXITCODE(code, 0);
}

struct status_seen {
    int tid;
    int status;
    long message = -1; // a fork, vfork or clone event's new thread
};

// The tracer with a scripted view of the system: tid -> {process, parent}.
struct replay {
    std::map<int, std::pair<int, int>> system;
    tracee_stops stops{[this](int tid, int *tgid, int *ppid) {
        auto it = system.find(tid);
        if (it == system.end())
            return false;
        *tgid = it->second.first;
        *ppid = it->second.second;
        return true;
    }};
    int64_t clock = 0;

    std::vector<std::string> run(const std::vector<status_seen> &seen)
    {
        std::vector<std::string> said;
        for (const status_seen &s : seen) {
            std::vector<tracee_action> actions;
            stops.on_status(s.tid, s.status, s.message, ++clock, actions);
            for (const tracee_action &a : actions)
                said.push_back(describe(a));
        }
        return said;
    }
};

using said = std::vector<std::string>;

TEST(tracee_stops,
     a_child_is_told_once_whichever_of_its_first_stop_and_its_creators_event_comes_first)
{
    // Event first: the child's first stop only lets it run.
    replay after;
    after.stops.seized(100, 100, true);
    after.system[101] = {101, 100};
    EXPECT_EQ(after.run({{100, event_stop(PTRACE_EVENT_FORK), 101}, {101, first_stop()}}),
              (said{"fork 100 101 @1", "resume 100 0", "resume 101 0"}));

    // First stop first: the system shows its creator, so it is taken on at
    // once and the creator's event adds nothing.
    replay before;
    before.stops.seized(100, 100, true);
    before.system[101] = {101, 100};
    EXPECT_EQ(before.run({{101, first_stop()}, {100, event_stop(PTRACE_EVENT_VFORK), 101}}),
              (said{"fork 100 101 @1", "resume 101 0", "resume 100 0"}));

    // First stop first, and nothing to read of it yet: it waits, stopped,
    // for the event, so that nothing it does comes before its creation.
    replay held;
    held.stops.seized(100, 100, true);
    EXPECT_EQ(held.run({{101, first_stop()}}), said{});
    EXPECT_EQ(held.run({{100, event_stop(PTRACE_EVENT_FORK), 101}}),
              (said{"fork 100 101 @2", "resume 101 0", "resume 100 0"}));
}

TEST(tracee_stops, an_exec_is_told_with_the_creation_seen_and_ends_the_other_threads_quietly)
{
    replay r;
    r.stops.seized(100, 100, true);
    r.system[101] = {101, 100};
    r.system[102] = {101, 100};
    r.system[103] = {101, 100};
    EXPECT_EQ(r.run({{100, event_stop(PTRACE_EVENT_FORK), 101},
                     {101, first_stop()},
                     {101, event_stop(PTRACE_EVENT_CLONE), 102},
                     {102, first_stop()},
                     {101, event_stop(PTRACE_EVENT_CLONE), 103},
                     {103, first_stop()}}),
              (said{"fork 100 101 @1", "resume 100 0", "resume 101 0", "resume 101 0",
                    "resume 102 0", "resume 101 0", "resume 103 0"}));
    // Thread 103 execs: the kernel tells it under the process's pid, and
    // thread 102's end, which the exec caused, is no process's end.
    EXPECT_EQ(r.run({{101, event_stop(PTRACE_EVENT_EXEC)}, {102, exited(0)}}),
              (said{"exec 101 @7 from 100 @1", "resume 101 0"}));
    EXPECT_EQ(r.run({{101, exited(3)}}), (said{"exit 101 768 @9"}));

    // A process traced from before the tool saw its creation: no creation.
    replay seized;
    seized.stops.seized(200, 200, false);
    EXPECT_EQ(seized.run({{200, event_stop(PTRACE_EVENT_EXEC)}}),
              (said{"exec 200 @1", "resume 200 0"}));
}

TEST(tracee_stops, a_process_ends_with_its_last_thread_whichever_ends_first)
{
    replay r;
    r.stops.seized(100, 100, false);
    r.system[101] = {100, 1};
    r.run({{100, event_stop(PTRACE_EVENT_CLONE), 101}, {101, first_stop()}});
    EXPECT_EQ(r.run({{100, exited(0)}}), said{});
    EXPECT_EQ(r.run({{101, exited(0)}}), (said{"exit 100 0 @4"}));
}

TEST(tracee_stops, signals_are_passed_on_and_a_stop_by_a_signal_is_kept_and_told_to_waits_once)
{
    replay r;
    r.stops.seized(100, 100, true);
    int status = 0;
    EXPECT_EQ(r.run({{100, signal_stop(SIGUSR1)}}),
              (said{"resume 100 " + std::to_string(SIGUSR1)}));
    EXPECT_FALSE(r.stops.child_changed());

    // Ctrl-Z: the signal is passed on, the group stop is kept.
    EXPECT_EQ(r.run({{100, signal_stop(SIGTSTP)}, {100, group_stop(SIGTSTP)}}),
              (said{"resume 100 " + std::to_string(SIGTSTP), "listen 100"}));
    EXPECT_TRUE(r.stops.child_changed());
    EXPECT_EQ(r.stops.reap(-1, &status, false), 0) << "a stop is told only to a wait for stops";
    EXPECT_EQ(r.stops.reap(-1, &status, true), 100);
    EXPECT_EQ(status, W_STOPCODE(SIGTSTP));
    // Listening tells the same stop again; the wait hears of it once.
    r.run({{100, group_stop(SIGTSTP)}});
    EXPECT_EQ(r.stops.reap(-1, &status, true), 0);

    // fg: SIGCONT on its way means it runs again; the next stop is told anew.
    EXPECT_EQ(r.run({{100, signal_stop(SIGCONT)}}),
              (said{"resume 100 " + std::to_string(SIGCONT)}));
    r.run({{100, group_stop(SIGTTIN)}});
    EXPECT_EQ(r.stops.reap(100, &status, true), 100);
    EXPECT_EQ(status, W_STOPCODE(SIGTTIN));
}

TEST(tracee_stops, a_stop_is_told_for_the_tools_own_child_alone_and_by_its_first_thread)
{
    replay r;
    r.stops.seized(100, 100, true);
    r.stops.seized(101, 100, true);
    r.stops.seized(200, 200, false);
    EXPECT_EQ(r.run({{101, group_stop(SIGSTOP)}, {200, group_stop(SIGSTOP)}}),
              (said{"listen 101", "listen 200"}));
    int status;
    EXPECT_FALSE(r.stops.child_changed());
    EXPECT_EQ(r.stops.reap(-1, &status, true), 0);
}

TEST(tracee_stops, the_tools_own_child_ends_once_and_then_there_is_no_child)
{
    replay r;
    r.stops.seized(100, 100, true);
    int status = 0;
    EXPECT_EQ(r.stops.reap(100, &status, false), 0);
    EXPECT_EQ(r.run({{100, W_EXITCODE(0, SIGKILL)}}), (said{"exit 100 9 @1"}));
    EXPECT_TRUE(r.stops.child_changed());
    EXPECT_FALSE(r.stops.child_changed());
    EXPECT_EQ(r.stops.reap(100, &status, false), 100);
    EXPECT_EQ(status, SIGKILL);
    errno = 0;
    EXPECT_EQ(r.stops.reap(-1, &status, false), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(tracee_stops, a_child_whose_creator_was_killed_before_its_event_is_its_child_and_runs)
{
    // The child stops first, already reparented away; its creator's end
    // releases it as the creator's child.
    replay first;
    first.stops.seized(100, 100, true);
    first.system[101] = {101, 1};
    EXPECT_EQ(first.run({{101, first_stop()}}), said{});
    EXPECT_EQ(first.run({{100, W_EXITCODE(0, SIGKILL)}}),
              (said{"exit 100 9 @2", "fork 100 101 @2", "resume 101 0"}));

    // The creator's end comes first: the child is the latest ended process's.
    replay later;
    later.stops.seized(100, 100, true);
    later.system[101] = {101, 1};
    later.run({{100, W_EXITCODE(0, SIGKILL)}});
    EXPECT_EQ(later.run({{101, first_stop()}}), (said{"fork 100 101 @2", "resume 101 0"}));
}

TEST(tracee_stops, a_tracee_is_let_go_with_the_signal_it_was_receiving_and_no_other)
{
    EXPECT_EQ(detach_signal(signal_stop(SIGINT)), SIGINT);
    EXPECT_EQ(detach_signal(group_stop(SIGTSTP)), 0);
    EXPECT_EQ(detach_signal(event_stop(PTRACE_EVENT_EXEC)), 0);
    EXPECT_EQ(detach_signal(exited(0)), 0);
}

} // namespace
