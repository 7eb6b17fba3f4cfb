// The pid table: search order, overflow slot, release, and run-time arithmetic.
#include "logic_fixture.h"
#include "procdb/pid_db.h"

namespace {

using pid_db_test = logic_test;

const char OVERFLOW_WARNING[] = "forklog: warning: pid_db of size 1024 overflowed\n";

TEST_F(pid_db_test, claim_takes_the_first_slot_that_is_free_or_holds_the_pid)
{
    EXPECT_EQ(pid_db_claim(100), 0);
    pid_db[0].pid = 7;
    EXPECT_EQ(pid_db_claim(100), 1);
    for (int i = 0; i < 5; i++)
        pid_db[i].pid = 10 + i;
    pid_db[5].pid = 100;
    pid_db[6].pid = 0;
    EXPECT_EQ(pid_db_claim(100), 5) << "own slot before a later free one";
    pid_db[2].pid = 0;
    EXPECT_EQ(pid_db_claim(100), 2) << "a free slot before the own one wins";
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
