// The pid table: search order, overflow slot, release, and run-time arithmetic.
#include <set>
#include <vector>

#include "logic_fixture.h"
#include "procdb/pid_db.h"

namespace {

using pid_db_test = logic_test;

const char OVERFLOW_WARNING[] = "forklog: warning: pid_db of size 1024 overflowed\n";

// Claims and releases as the reports make them: a claim that finds a free
// slot fills it (as the exec report does), a release frees.
struct step {
    char op; // 'c' claim (and fill a free slot), 'r' release
    int pid;
    int slot; // expected
};

struct sequence {
    const char *what;
    std::vector<step> steps;
};

const sequence SEQUENCES[] = {
    {"an empty table gives slot 0, then the next free one", {{'c', 100, 0}, {'c', 7, 1}}},
    {"a re-exec finds its own slot though a free one lies before it",
     {{'c', 1, 0}, {'c', 2, 1}, {'r', 1, 0}, {'c', 2, 1}}},
    {"a freed slot is taken by the next new pid",
     {{'c', 1, 0}, {'c', 2, 1}, {'r', 1, 0}, {'c', 3, 0}, {'c', 2, 1}}},
    {"processes coming and going never leak a slot",
     {{'c', 10, 0},
      {'c', 11, 1},
      {'r', 10, 0},
      {'c', 11, 1},
      {'r', 11, 1},
      {'c', 12, 0},
      {'r', 12, 0},
      {'c', 13, 0}}},
    {"a reused pid after a release gets a fresh slot, never a stale one",
     {{'c', 5, 0}, {'c', 6, 1}, {'r', 5, 0}, {'c', 6, 1}, {'r', 6, 1}, {'c', 6, 0}}},
    {"a release of a pid that holds nothing finds nothing", {{'c', 1, 0}, {'r', 2, -1}}},
};

TEST_F(pid_db_test, a_pid_keeps_one_slot_through_claims_and_releases)
{
    for (const sequence &seq : SEQUENCES) {
        for (pid_db_entry &e : pid_db)
            e = {};
        for (const step &s : seq.steps) {
            if (s.op == 'c') {
                int slot = pid_db_claim(s.pid);
                EXPECT_EQ(slot, s.slot) << seq.what << ": claim " << s.pid;
                pid_db[slot].pid = s.pid;
            } else {
                EXPECT_EQ(pid_db_release(s.pid), s.slot) << seq.what << ": release " << s.pid;
            }
        }
        std::set<int> pids;
        for (const pid_db_entry &e : pid_db) {
            if (e.pid) {
                EXPECT_TRUE(pids.insert(e.pid).second) << seq.what << ": pid " << e.pid << " twice";
            }
        }
    }
}

TEST_F(pid_db_test, a_thousand_short_lives_beside_a_long_one_never_fill_the_table)
{
    testing::internal::CaptureStderr();
    pid_db[pid_db_claim(1)].pid = 1;
    for (int pid = 2; pid < 5000; pid++) {
        pid_db[pid_db_claim(pid)].pid = pid; // its exec
        pid_db[pid_db_claim(1)].pid = 1;     // the long one execs again
        pid_db_release(pid);
    }
    EXPECT_EQ(pid_db_claim(1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(pid_db_test, a_full_table_warns_on_every_claim_and_gives_the_last_slot)
{
    for (int i = 0; i < PID_DB_SIZE - 1; i++)
        pid_db[i].pid = 10000 + i;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pid_db_claim(5), PID_DB_SIZE - 1);
    pid_db[PID_DB_SIZE - 1].pid = 5;
    EXPECT_EQ(pid_db_claim(5), PID_DB_SIZE - 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(OVERFLOW_WARNING) + OVERFLOW_WARNING);
}

TEST_F(pid_db_test, release_frees_the_first_holder_only_and_keeps_its_fields)
{
    pid_db[2] = {42, 3, {10, 20}, "make"};
    pid_db[5] = {42, 1, {0, 0}, "sh"};
    pid_db[PID_DB_SIZE - 1].pid = 77;

    EXPECT_EQ(pid_db_release(42), 2);
    EXPECT_EQ(pid_db[2].pid, 0);
    EXPECT_EQ(pid_db[2].depth, 3);
    EXPECT_EQ(pid_db[2].start.tv_usec, 20);
    EXPECT_STREQ(pid_db[2].cmd, "make");
    EXPECT_EQ(pid_db[5].pid, 42);

    EXPECT_EQ(pid_db_release(42), 5);
    EXPECT_EQ(pid_db_release(42), -1);
    EXPECT_EQ(pid_db_release(77), PID_DB_SIZE - 1) << "the overflow slot is searched too";
}

TEST_F(pid_db_test, elapsed_seconds_borrows_once_and_may_be_negative)
{
    struct {
        os::timeval start, now;
        const char *printed;
    } cases[] = {
        {{10, 900000}, {12, 100000}, "1.200"},
        {{10, 500}, {13, 500}, "3.000"},
        {{20, 0}, {19, 750000}, "-0.250"},
        {{0, 0}, {0, 12345}, "0.012"},
    };
    for (const auto &c : cases) {
        fake::k.clock = c.now;
        os::timeval reading = {};
        char printed[32];
        snprintf(printed, sizeof printed, "%.3f", elapsed_seconds(c.start, &reading));
        EXPECT_STREQ(printed, c.printed);
        EXPECT_EQ(reading.tv_sec, c.now.tv_sec);
        EXPECT_EQ(reading.tv_usec, c.now.tv_usec);
    }
}

} // namespace
