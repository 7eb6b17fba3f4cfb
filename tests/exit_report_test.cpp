// The exit line: release first, then the line from the released slot.
#include "logic_fixture.h"
#include "procdb/pid_db.h"
#include "report/exit_report.h"

namespace {

class exit_report_test : public logic_test {
protected:
    void SetUp() override
    {
        logic_test::SetUp();
        run_settings.timing = true;
        pid_db[0] = {42, 3, {10, 0}, "make"};
        fake::k.clock = {12, 345000};
    }
};

TEST_F(exit_report_test, says_how_the_process_ended)
{
    struct {
        int status;
        const char *ending;
    } cases[] = {
        {0, " exited status=0"},        {0x100, " exited status=1"},
        {0xff00, " exited status=255"}, {9, " exited signal=KILL"},
        {0x86, " exited signal=ABRT"},  {0x7f + 0x1300, " exited status=19"},
        {40, " exited signal=40"}, // past the end of the name table
    };
    for (const auto &c : cases) {
        pid_db[0].pid = 42;
        size_t before = written().size();
        report_exit(42, c.status);
        EXPECT_EQ(written().substr(before),
                  std::string("      42- make") + c.ending + " time=2.345s\n");
        EXPECT_EQ(pid_db[0].pid, 0);
    }
}

TEST_F(exit_report_test, indentation_follows_the_stored_depth_unless_flat)
{
    pid_db[0] = {42, 0, {12, 0}, "my prog"};
    report_exit(42, 0);
    pid_db[0].pid = 42;
    run_settings.flat = true;
    pid_db[0].depth = 5;
    report_exit(42, 0);
    EXPECT_EQ(flushed(), "42- 'my prog' exited status=0 time=0.345s\n"
                         "42- 'my prog' exited status=0 time=0.345s\n");
}

TEST_F(exit_report_test, writes_nothing_without_timing_or_without_a_slot)
{
    run_settings.timing = false;
    report_exit(42, 0);
    EXPECT_EQ(pid_db[0].pid, 0) << "the slot is freed all the same";
    run_settings.timing = true;
    report_exit(42, 0);
    report_exit(77, 0);
    EXPECT_EQ(written(), "");
}

} // namespace
