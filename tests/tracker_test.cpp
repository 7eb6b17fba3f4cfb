// The tracker fed events as a source would feed them, over a fixture /proc.
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <map>

#include "platform/linux/clocks.h"
#include "platform/linux/tracker.h"
#include "proc_tree.h"

namespace {

using namespace linux_layer;
using os::NOTE_EXEC;
using os::NOTE_EXIT;
using os::NOTE_TRACK;

constexpr uint32_t ALL = NOTE_EXIT | NOTE_EXEC | NOTE_TRACK;
constexpr int ROOT = 100;
constexpr int CHILD = 101;

std::shared_ptr<exec_facts> facts_for(int pid, const std::string &word)
{
    auto f = std::make_shared<exec_facts>();
    f->record.ki_pid = pid;
    f->record.ki_ppid = ROOT;
    f->record.ki_start = timeval_from_us(wall_us_from_monotonic_ns(monotonic_ns()));
    f->argv_ok = true;
    f->argv_bytes.assign(word.begin(), word.end());
    return f;
}

class tracker_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.add(1, 0);
        tree.add(ROOT, 1);
        tree.add(102, ROOT, 'Z');
        tree.add(103, ROOT, 'S', 1, 100, ROOT); // a thread of ROOT
    }

    void start(bool merge)
    {
        notes.start(merge);
        ASSERT_EQ(notes.watch(ROOT, ALL), 0);
        t = monotonic_ns();
    }

    // One batch of notes as "filter:pid:fflags:data".
    std::vector<std::string> batch(int room = 16)
    {
        std::vector<std::string> out;
        struct os::kevent ev[16];
        int n = notes.take_batch(ev, room);
        for (int i = 0; i < n; i++)
            out.push_back(
                note(ev[i].filter, static_cast<long>(ev[i].ident), ev[i].fflags, ev[i].data));
        return out;
    }

    // Every note, batch after batch.
    std::vector<std::string> all()
    {
        std::vector<std::string> out;
        for (std::vector<std::string> b; !(b = batch()).empty();)
            out.insert(out.end(), b.begin(), b.end());
        return out;
    }

    static std::string note(int16_t filter, long ident, uint32_t fflags, long data = 0)
    {
        return std::to_string(filter) + ":" + std::to_string(ident) + ":" + std::to_string(fflags) +
               ":" + std::to_string(data);
    }

    proc_tree tree;
    procfs proc{tree.root()};
    std::map<int, uint32_t> told; // what the source heard
    tracker notes{proc, [this](int pid, uint32_t fflags) {
                      told[pid] = fflags;
                      return 0;
                  }};
    int64_t t = 0;
};

TEST_F(tracker_test, registration_wants_a_live_process)
{
    notes.start(true);
    EXPECT_EQ(notes.watch(ROOT, ALL), 0);
    EXPECT_EQ(told, (std::map<int, uint32_t>{{ROOT, ALL}}));
    EXPECT_EQ(notes.watch(999, ALL), ESRCH) << "gone";
    EXPECT_EQ(notes.watch(103, ALL), ESRCH) << "a thread";
    EXPECT_EQ(notes.watch(102, NOTE_EXEC | NOTE_TRACK), ESRCH) << "a zombie, without its end";
    EXPECT_EQ(notes.watch(102, ALL), 0) << "a zombie whose end is asked for";
}

TEST_F(tracker_test, children_inherit_the_watch_and_unread_notes_merge)
{
    start(true);
    notes.on_fork(ROOT, CHILD, t + 1);
    notes.on_exec(CHILD, t + 2, nullptr);
    notes.on_exec(CHILD, t + 3, nullptr);
    EXPECT_EQ(all(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC)}));
    notes.on_exec(CHILD, t + 4, nullptr);
    notes.on_exit(CHILD, 0x100, t + 5);
    EXPECT_EQ(all(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC),
                                               note(-5, CHILD, NOTE_EXIT, 0x100)}))
        << "an end does not swallow the exec before it";
    notes.on_exec(CHILD, t + 6, nullptr);
    EXPECT_EQ(all(), (std::vector<std::string>{})) << "the watch ended with its process";
}

TEST_F(tracker_test, events_before_the_watch_and_unwanted_notes_are_not_delivered)
{
    notes.start(true);
    int64_t before = monotonic_ns();
    ASSERT_EQ(notes.watch(ROOT, NOTE_EXEC | NOTE_TRACK), 0);
    notes.on_exec(ROOT, before, nullptr);
    notes.on_fork(ROOT, CHILD, before);
    notes.on_exec(CHILD, monotonic_ns(), nullptr);
    EXPECT_EQ(all(), (std::vector<std::string>{}));

    int64_t now = monotonic_ns();
    notes.on_fork(ROOT, CHILD, now);
    notes.on_exit(CHILD, 0, now + 1); // this watch asks for no exit notes
    notes.on_exec(CHILD, now + 2, nullptr);
    EXPECT_EQ(all(), (std::vector<std::string>{}));
}

// A batch holds one note per process, and the queries made while it is
// reported are answered from the facts of that note.
TEST_F(tracker_test, each_batch_answers_from_its_own_notes_facts)
{
    start(false);
    notes.on_fork(ROOT, CHILD, t + 1);
    notes.on_exec(CHILD, t + 2, facts_for(CHILD, "first"));
    notes.on_exec(ROOT, t + 3, facts_for(ROOT, "root"));
    notes.on_exec(CHILD, t + 4, facts_for(CHILD, "second"));
    notes.on_exit(CHILD, 0, t + 5);

    EXPECT_EQ(batch(),
              (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC), note(-5, ROOT, NOTE_EXEC)}));
    ASSERT_NE(notes.batch_facts(CHILD), nullptr);
    EXPECT_EQ(std::string(notes.batch_facts(CHILD)->argv_bytes.data(), 5), "first");
    os::kinfo_proc kp;
    ASSERT_TRUE(notes.record(CHILD, &kp));
    EXPECT_EQ(kp.ki_ppid, ROOT);

    EXPECT_EQ(batch(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC)}));
    EXPECT_EQ(std::string(notes.batch_facts(CHILD)->argv_bytes.data(), 6), "second");
    EXPECT_EQ(notes.batch_facts(ROOT), nullptr) << "the batch before is done with";

    EXPECT_EQ(batch(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXIT)}));
    EXPECT_EQ(notes.batch_facts(CHILD), nullptr);
    EXPECT_EQ(batch(1), (std::vector<std::string>{}));
}

TEST_F(tracker_test, a_reused_pid_is_a_new_process)
{
    start(true);
    notes.on_fork(ROOT, CHILD, t + 1);
    notes.on_exit(CHILD, 0, t + 2);
    notes.on_fork(ROOT, CHILD, t + 3);
    notes.on_exec(CHILD, t + 4, nullptr);
    EXPECT_EQ(all(),
              (std::vector<std::string>{note(-5, CHILD, NOTE_EXIT), note(-5, CHILD, NOTE_EXEC)}));

    // Its record is the new process's: created by ROOT, whatever /proc
    // says of its parent now.
    tree.add(CHILD, 1);
    os::kinfo_proc kp;
    ASSERT_TRUE(notes.record(CHILD, &kp));
    EXPECT_EQ(kp.ki_ppid, ROOT);
}

TEST_F(tracker_test, a_process_ends_with_its_last_thread)
{
    start(true);
    notes.on_fork(ROOT, CHILD, t);
    notes.on_thread(CHILD);
    notes.on_thread(CHILD);
    // A thread execs: the two others, the leader among them, end first.
    notes.on_thread_end(CHILD, true, 9, t + 1);
    notes.on_thread_end(CHILD, false, 9, t + 2);
    notes.on_exec(CHILD, t + 3, nullptr);
    EXPECT_EQ(all(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXEC)}));
    notes.on_thread_end(CHILD, true, 0x300, t + 4);
    EXPECT_EQ(all(), (std::vector<std::string>{note(-5, CHILD, NOTE_EXIT, 0x300)}));
}

TEST_F(tracker_test, signals_of_one_kind_are_one_note)
{
    notes.start(false);
    notes.post_signal(SIGCHLD);
    notes.post_signal(SIGCHLD);
    notes.post_signal(SIGINT);
    EXPECT_EQ(all(), (std::vector<std::string>{note(-6, SIGCHLD, 0), note(-6, SIGINT, 0)}));
}

// Notes not yet read, with their facts, stay below a cap: past it the
// sources are left unread until the reports have caught up.
TEST_F(tracker_test, notes_not_yet_read_hold_a_bounded_amount_of_memory)
{
    start(false);
    size_t posted = 0;
    while (!notes.over_cap()) {
        auto f = facts_for(ROOT, "");
        f->argv_bytes.assign(1 << 20, 'a');
        notes.on_exec(ROOT, t + 1, f);
        posted++;
    }
    EXPECT_EQ(posted, HELD_NOTES_CAP / (1 << 20)) << "each note holds a little more than its MiB";
    all();
    EXPECT_FALSE(notes.over_cap());
}

TEST_F(tracker_test, after_lost_events_descendants_are_watched_again_and_the_gone_dropped)
{
    tree.remove(102);
    tree.remove(103);
    start(true);
    notes.on_fork(ROOT, CHILD, t + 1); // its end is among the lost events
    tree.add(104, ROOT);               // its fork is among them
    tree.add(105, 104);
    tree.add(106, 1); // outside the watched tree
    notes.on_lost(7);
    testing::internal::CaptureStderr();
    notes.recover_from_loss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "forklog: warning: the kernel dropped 7 process events; re-reading the process "
              "table to keep following new processes\n");
    EXPECT_EQ(told, (std::map<int, uint32_t>{{ROOT, ALL}, {104, ALL}, {105, ALL}}));
    int64_t now = monotonic_ns();
    for (int pid : {CHILD, 104, 105, 106})
        notes.on_exec(pid, now, nullptr);
    EXPECT_EQ(all(),
              (std::vector<std::string>{note(-5, 104, NOTE_EXEC), note(-5, 105, NOTE_EXEC)}));

    notes.on_lost(0);
    testing::internal::CaptureStderr();
    notes.recover_from_loss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "forklog: warning: the kernel dropped process events; re-reading the process "
              "table to keep following new processes\n");
    testing::internal::CaptureStderr();
    notes.recover_from_loss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing lost since";
}

// An exec recorded before a loss keeps its place: its creator, which ended
// while events were lost, still answers until the exec is reported.
TEST_F(tracker_test, after_lost_events_a_recorded_exec_still_finds_its_ended_creator)
{
    start(false);
    notes.on_fork(ROOT, 104, t + 1);
    notes.on_fork(104, 105, t + 2);
    auto f = facts_for(105, "cc");
    f->record.ki_ppid = 104;
    notes.on_exec(105, t + 3, f);
    tree.add(105, 1); // 104 ended among the lost events; 105 was given to pid 1
    notes.on_lost(3);
    testing::internal::CaptureStderr();
    notes.recover_from_loss();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(batch(), (std::vector<std::string>{note(-5, 105, NOTE_EXEC)}));
    os::kinfo_proc kp;
    ASSERT_TRUE(notes.record(105, &kp));
    EXPECT_EQ(kp.ki_ppid, 104);
    ASSERT_TRUE(notes.record(104, &kp)) << "the ended creator answers as it was";
    EXPECT_EQ(kp.ki_ppid, ROOT);
}

} // namespace
