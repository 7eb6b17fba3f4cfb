// The Linux layer's watch table, fed events as a source would feed them.
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/exec_facts.h"
#include "platform/linux/layer.h"
#include "platform/linux/watch_table.h"
#include "platform/platform.h"

namespace {

using namespace linux_layer;
using os::NOTE_EXEC;
using os::NOTE_EXIT;
using os::NOTE_TRACK;

constexpr uint32_t ALL = NOTE_EXIT | NOTE_EXEC | NOTE_TRACK;
constexpr int CHILD = 2000000001; // beyond any pid the kernel hands out

class watch_table_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_watch_table();
        self = getpid();
    }

    void TearDown() override { reset_watch_table(); }

    std::vector<std::string> notes()
    {
        std::vector<std::string> out;
        struct os::kevent ev[4];
        int n;
        while ((n = take_notes(ev, 4)) > 0)
            for (int i = 0; i < n; i++)
                out.push_back(std::to_string(ev[i].filter) + ":" + std::to_string(ev[i].ident) +
                              ":" + std::to_string(ev[i].fflags) + ":" + std::to_string(ev[i].data));
        return out;
    }

    static std::string note(int16_t filter, long ident, uint32_t fflags, long data = 0)
    {
        return std::to_string(filter) + ":" + std::to_string(ident) + ":" + std::to_string(fflags) +
               ":" + std::to_string(data);
    }

    int self;
};

TEST_F(watch_table_test, children_inherit_the_watch_and_unread_execs_merge)
{
    ASSERT_EQ(add_process_watch(self, ALL), 0);
    int64_t t = monotonic_ns();
    on_fork(self, CHILD, t + 1);
    on_exec(CHILD, t + 2);
    on_exec(CHILD, t + 3);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC)}));
    on_exec(CHILD, t + 4);
    on_exit(CHILD, 0x100, t + 5);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC),
                                                 note(-5, CHILD, NOTE_EXIT, 0x100)}))
        << "an end does not swallow the exec before it";
    on_exec(CHILD, t + 6);
    EXPECT_EQ(notes(), (std::vector<std::string>{})) << "the watch ended with its process";
}

// Notes not yet read, with their facts, stay below a cap: past it the
// sources are left unread until the reports have caught up.
TEST_F(watch_table_test, notes_not_yet_read_hold_a_bounded_amount_of_memory)
{
    set_note_merging(false);
    ASSERT_EQ(add_process_watch(self, ALL), 0);
    int64_t t = monotonic_ns();
    size_t posted = 0;
    while (!notes_over_cap()) {
        auto facts = std::make_shared<exec_facts>();
        facts->record.ki_pid = self;
        facts->argv_bytes.assign(1 << 20, 'a');
        on_exec_facts(self, t + 1, facts);
        posted++;
    }
    EXPECT_EQ(posted, HELD_NOTES_CAP / (1 << 20)) << "each note holds a little more than its MiB";
    struct os::kevent ev[4];
    while (take_notes(ev, 4) > 0) {
    }
    EXPECT_FALSE(notes_over_cap());
}

TEST_F(watch_table_test, a_reused_pid_gets_a_note_of_its_own)
{
    ASSERT_EQ(add_process_watch(self, ALL), 0);
    int64_t t = monotonic_ns();
    on_fork(self, CHILD, t + 1);
    on_exit(CHILD, 0, t + 2);
    on_fork(self, CHILD, t + 3);
    on_exec(CHILD, t + 4);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXIT), note(-5, CHILD, NOTE_EXEC)}));
}

TEST_F(watch_table_test, events_before_the_watch_and_unwanted_notes_are_not_delivered)
{
    int64_t before = monotonic_ns();
    ASSERT_EQ(add_process_watch(self, NOTE_EXEC | NOTE_TRACK), 0);
    on_exec(self, before);
    on_fork(self, CHILD, before);
    on_exec(CHILD, monotonic_ns());
    EXPECT_EQ(notes(), (std::vector<std::string>{}));

    int64_t t = monotonic_ns();
    on_fork(self, CHILD, t);
    on_exit(CHILD, 0, t + 1); // a root watch asks for no exit notes
    on_exec(CHILD, t + 2);
    EXPECT_EQ(notes(), (std::vector<std::string>{}));
}

TEST_F(watch_table_test, a_process_ends_with_its_last_thread)
{
    ASSERT_EQ(add_process_watch(self, ALL), 0);
    int64_t t = monotonic_ns();
    on_fork(self, CHILD, t);
    on_thread(CHILD);
    on_thread(CHILD);
    // A thread execs: the two others, the leader among them, end first.
    on_thread_end(CHILD, true, 9, t + 1);
    on_thread_end(CHILD, false, 9, t + 2);
    on_exec(CHILD, t + 3);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC)}));
    on_thread_end(CHILD, true, 0x300, t + 4);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXIT, 0x300)}));
}

TEST_F(watch_table_test, registration_fails_for_gone_processes_and_unwatched_zombies)
{
    EXPECT_EQ(add_process_watch(CHILD, ALL), ESRCH);
    pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(add_process_watch(zombie, NOTE_EXEC | NOTE_TRACK), ESRCH);
    EXPECT_EQ(add_process_watch(zombie, ALL), 0);
    waitpid(zombie, nullptr, 0);
}

TEST_F(watch_table_test, signals_of_one_kind_are_one_note)
{
    post_signal(SIGCHLD);
    post_signal(SIGCHLD);
    post_signal(SIGINT);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-6, SIGCHLD, 0), note(-6, SIGINT, 0)}));
}

TEST_F(watch_table_test, after_lost_events_descendants_are_watched_again_and_the_gone_dropped)
{
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    ASSERT_EQ(add_process_watch(self, ALL), 0);
    on_fork(self, CHILD, monotonic_ns()); // its end is among the lost events
    on_lost(7);
    testing::internal::CaptureStderr();
    recover_from_loss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "forklog: warning: the kernel dropped 7 process events; re-reading the process "
              "table to keep following new processes\n");
    int64_t t = monotonic_ns();
    on_exec(child, t);
    on_exec(CHILD, t);
    EXPECT_EQ(notes(), (std::vector<std::string>{note(-5, child, NOTE_EXEC)}));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    testing::internal::CaptureStderr();
    recover_from_loss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing lost since";
}

} // namespace
