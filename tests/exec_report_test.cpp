// The exec line: every field, the re-exec line, the slot rules, the fallbacks.
#include "logic_fixture.h"
#include "procdb/pid_db.h"
#include "report/exec_report.h"

namespace {

class exec_report_test : public logic_test {
protected:
    void SetUp() override
    {
        logic_test::SetUp();
        fake::add(1, 0, {"init"});
        fake::add(500, 1, {"sh"});
        fake::k.users[1000] = "builder";
    }

    // pid 731 below 500 (depth 2), or right below pid 1 (depth 1).
    fake::process &process_731(int depth, std::vector<std::string> argv)
    {
        fake::process &p = fake::add(731, depth == 2 ? 500 : 1, std::move(argv));
        p.uid = 1000;
        p.cwd = "/home/builder/src";
        p.exe = "/usr/bin/make";
        return p;
    }
};

TEST_F(exec_report_test, writes_the_documented_example_lines)
{
    process_731(2, {"cc", "-O2", "-c", "my file.c"});
    EXPECT_EQ(report(731), "    731 cc -O2 -c 'my file.c'\n");

    restart();
    run_settings.timing = run_settings.show_user = run_settings.show_cwd = true;
    process_731(1, {"make", "-j4"});
    pid_db[0] = {731, 1, {100, 0}, "sh"};
    fake::k.clock = {100, 12000};
    EXPECT_EQ(report(731), "  731- sh execed time=0.012s\n"
                           "  731+ <builder> /home/builder/src % make -j4\n");

    restart();
    run_settings.flat = run_settings.quiet = run_settings.show_env = true;
    process_731(1, {"make", "-j4"}).env = {"HOME=/home/builder", "A B=1", "EMPTY="};
    EXPECT_EQ(report(731), "731 make HOME=/home/builder 'A B'=1 EMPTY=''\n");
}

TEST_F(exec_report_test, all_fields_come_in_order)
{
    run_settings.timing = run_settings.show_user = run_settings.show_cwd = true;
    run_settings.full_path = run_settings.show_env = true;
    process_731(2, {"make", "all", "it's"}).env = {"=lead", "A=b=c", "NOEQ", "E="};
    EXPECT_EQ(report(731), "    731+ <builder> /home/builder/src % /usr/bin/make all 'it'\\''s'"
                           " ''=lead A='b=c' NOEQ E=''\n");
    EXPECT_STREQ(pid_db[0].cmd, "/usr/bin/make");
}

TEST_F(exec_report_test, the_control_group_comes_after_the_user_in_text_and_json)
{
    run_settings.show_cgroup = run_settings.show_user = run_settings.show_cwd = true;
    process_731(1, {"make"}).cgroup = "/system.slice/cron job.service";
    EXPECT_EQ(report(731),
              "  731 <builder> ['/system.slice/cron job.service'] /home/builder/src % make\n");

    restart();
    run_settings.show_cgroup = true;
    process_731(1, {"make"});
    EXPECT_EQ(report(731), "  731 [?] make\n") << "a group that cannot be read";

    restart();
    run_settings.show_cgroup = run_settings.json = true;
    process_731(1, {"make"}).cgroup = "/user.slice/s.scope";
    std::string line = report(731);
    EXPECT_NE(line.find(",\"argv\":[\"make\"],\"cgroup\":\"/user.slice/s.scope\"}"),
              std::string::npos)
        << line;

    restart();
    process_731(1, {"make"}).cgroup = "/x";
    report(731);
    EXPECT_EQ(fake::k.queries.cgroup, 0) << "not asked for without -c";
}

TEST_F(exec_report_test, timing_fills_then_renews_the_slot_and_cuts_the_stored_name)
{
    run_settings.timing = true;
    const std::string long_word = "/opt/toolchain/bin/a-compiler-driver-with-a-long-name";
    fake::process &p = process_731(1, {long_word, "x"});
    p.start = {50, 250000};
    fake::k.clock = {51, 0};
    EXPECT_EQ(report(731), "  731+ " + long_word + " x\n");
    EXPECT_EQ(pid_db[0].pid, 731);
    EXPECT_EQ(pid_db[0].depth, 1);
    EXPECT_EQ(pid_db[0].start.tv_sec, 50);
    EXPECT_EQ(long_word.substr(0, 31), pid_db[0].cmd);

    p.argv = {"ld"};
    p.ppid = 500; // now deeper: both lines use the current depth, the slot keeps its own
    fake::k.clock = {52, 500000};
    EXPECT_EQ(report(731), "    731- " + long_word.substr(0, 31) +
                               " execed time=2.250s\n"
                               "    731+ ld\n");
    EXPECT_EQ(pid_db[0].depth, 1);
    EXPECT_EQ(pid_db[0].start.tv_sec, 52);
    EXPECT_EQ(pid_db[0].start.tv_usec, 500000);
    EXPECT_STREQ(pid_db[0].cmd, "ld");
}

TEST_F(exec_report_test, without_timing_a_second_exec_refills_the_slot_without_a_re_exec_line)
{
    fake::process &p = process_731(1, {"sh"});
    EXPECT_EQ(report(731), "  731 sh\n");
    p.argv = {"make"};
    EXPECT_EQ(report(731), "  731 make\n");
    EXPECT_STREQ(pid_db[0].cmd, "make");
    EXPECT_EQ(pid_db[1].pid, 0);
}

TEST_F(exec_report_test, a_re_exec_finds_its_slot_behind_a_freed_one)
{
    run_settings.timing = true;
    process_731(1, {"make"}).start = {7, 0};
    fake::k.clock = {3, 0};
    pid_db[0] = {99, 1, {}, "other"};
    pid_db[1] = {731, 1, {1, 0}, "sh"};
    pid_db[0].pid = 0;
    EXPECT_EQ(report(731), "  731- sh execed time=2.000s\n"
                           "  731+ make\n");
    EXPECT_EQ(pid_db[0].pid, 0) << "the freed slot stays free";
    EXPECT_EQ(pid_db[1].start.tv_sec, 3);
    EXPECT_STREQ(pid_db[1].cmd, "make");
}

TEST_F(exec_report_test, flat_without_timing_never_touches_the_table)
{
    run_settings.flat = true;
    for (int i = 0; i < PID_DB_SIZE - 1; i++)
        pid_db[i].pid = 10000 + i;
    process_731(2, {"cc"});
    EXPECT_EQ(report(731), "731 cc\n");
    EXPECT_EQ(messages, "") << "no overflow warning";
    EXPECT_EQ(pid_db[PID_DB_SIZE - 1].pid, 0);

    run_settings.timing = true;
    EXPECT_EQ(report(731), "731+ cc\n");
    EXPECT_EQ(messages, "forklog: warning: pid_db of size 1024 overflowed\n");
    EXPECT_EQ(pid_db[PID_DB_SIZE - 1].pid, 731);
}

TEST_F(exec_report_test, fields_that_cannot_be_read_have_fallbacks)
{
    run_settings.show_user = run_settings.show_cwd = run_settings.full_path = true;
    run_settings.show_env = true;
    fake::process &p = process_731(1, {"make", ""});
    p.fail_cwd = p.fail_path = p.fail_env = true;
    p.uid = 4321;
    EXPECT_EQ(report(731), "  731 <4321> ? % make '' -\n");
    EXPECT_STREQ(pid_db[0].cmd, "make");

    p.fail_env = false;
    p.env = {};
    p.uid = 0x80000005;
    p.fail_cwd = false;
    p.cwd = "";
    EXPECT_EQ(report(731), "  731 <-2147483643> '' % make ''\n");
    EXPECT_EQ(messages, "");
}

TEST_F(exec_report_test, quiet_leaves_out_arguments_and_a_lone_word_has_no_space)
{
    run_settings.quiet = true;
    process_731(1, {"make", "-j4"});
    EXPECT_EQ(report(731), "  731 make\n");
    run_settings.quiet = false;
    process_731(1, {"make"});
    EXPECT_EQ(report(731), "  731 make\n");
}

TEST_F(exec_report_test, an_unreadable_process_leaves_a_lone_unflushed_newline_and_a_warning)
{
    struct {
        bool record, argv;
        std::string warning;
    } cases[] = {
        {true, false, started_as("kvm_getprocs: No such process\n")},
        {false, true, started_as("kvm_getargv: No such process\n")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.warning);
        restart();
        run_settings.timing = true;
        fake::process &p = process_731(1, {"make"});
        p.fail_argv = c.argv;
        if (c.record)
            p.records_until_failure = 1; // the depth walk's query succeeds
        testing::internal::CaptureStderr();
        report_exec(731);
        // Checked first: taking the captured text flushes every stream.
        EXPECT_EQ(flushed(), "") << "the newline waits for the next flush";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning);
        EXPECT_EQ(written(), "\n");
        EXPECT_EQ(pid_db[0].pid, 0) << "the table is untouched";
    }
}

TEST_F(exec_report_test, a_process_outside_the_root_writes_nothing)
{
    run_settings.root_pid = 500;
    process_731(1, {"make"});
    EXPECT_EQ(report(731), "");
    EXPECT_EQ(messages, "");
    EXPECT_EQ(fake::k.queries.argv, 0);
}

} // namespace
