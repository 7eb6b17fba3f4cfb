// The timeline of a run on the scripted kernel: execs, a re-exec, ends by
// status and by signal, an orphan and a process still running become rows
// in tree order, the summary, the page and the trace events.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "report/timeline.h"
#include "run_fixture.h"

namespace {

class timeline_test : public run_test {
protected:
    void SetUp() override
    {
        run_test::SetUp();
        timeline_reset();
    }

    // make starts sh, which execs cc a.c and is killed; cc bad.c fails;
    // sleep, whose creator has ended, is still running when make ends.
    void script_a_build()
    {
        auto at = [](int64_t sec, int64_t usec) { return os::timeval{sec, usec}; };
        fake::add(4242, 1, {"make", "-j2"}).exec_time = at(100, 0);
        fake::add(4243, 4242, {"sh", "-c", "cc a.c"}).exec_time = at(100, 100000);
        fake::k.clock = at(100, 0);
        batch({exec_of(4242)});
        batch({exec_of(4243)});
        batch({exec_of(4243), exec_of(4244), exec_of(4245)});
        batch({fake::proc_note(4244, os::NOTE_EXIT, 0x100)});
        batch({fake::proc_note(4243, os::NOTE_EXIT, 9)});
        batch({fake::signal_note(os::SIGNO_CHLD)});
        fake::k.ended_children = {{4242, 0x200}};
        fake::k.before_wait = [at] {
            switch (fake::k.batches.size()) {
            case 4: {
                fake::process &sh = fake::k.procs[4243];
                sh.argv = {"cc", "a.c", "</script><b>"};
                sh.exec_time = at(100, 200000);
                fake::add(4244, 4242, {"cc", "bad.c"}).exec_time = at(100, 300000);
                fake::add(4245, 4244, {"sleep", "9"}).exec_time = at(100, 400000);
                break;
            }
            case 3:
                fake::k.clock = at(100, 500000);
                break;
            case 2:
                fake::k.clock = at(100, 600000);
                break;
            case 1:
                fake::k.clock = at(100, 700000);
                break;
            }
        };
    }

    static struct os::kevent exec_of(int pid) { return fake::proc_note(pid, os::NOTE_EXEC); }

    std::string read_file(const std::string &name)
    {
        std::ifstream in(name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string timeline_path = path + ".timeline";
};

TEST_F(timeline_test, a_runs_images_become_rows_in_tree_order_with_how_each_ended)
{
    script_a_build();
    std::string page = path + ".html";
    EXPECT_EQ(run({"-T", page, "make", "-j2"}), 2);
    const std::vector<timeline_row> &rows = timeline_rows();
    ASSERT_EQ(rows.size(), 5u);
    struct expected {
        int pid;
        const char *line;
        image_end end;
        int status;
        int64_t start_us, end_us;
        int depth;
    } want[] = {
        {4242, "make -j2", image_end::exited, 2, 100000000, 100700000, 0},
        {4243, "sh -c 'cc a.c'", image_end::execed, 0, 100100000, 100200000, 1},
        {4243, "cc a.c '</script><b>'", image_end::killed, 9, 100200000, 100600000, 1},
        {4244, "cc bad.c", image_end::exited, 1, 100300000, 100500000, 1},
        {4245, "sleep 9", image_end::running, 0, 100400000, 0, 2},
    };
    std::vector<int> order = timeline_order();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4})) << "a re-exec keeps its place";
    for (size_t i = 0; i < 5; i++) {
        const timeline_row &r = rows[i];
        EXPECT_EQ(r.pid, want[i].pid) << i;
        EXPECT_EQ(r.line, want[i].line) << i;
        EXPECT_EQ(r.end, want[i].end) << i;
        EXPECT_EQ(r.status, want[i].status) << i;
        EXPECT_EQ(r.start_us, want[i].start_us) << i;
        if (r.end != image_end::running) {
            EXPECT_EQ(r.end_us, want[i].end_us) << i;
        }
        EXPECT_EQ(timeline_depth(static_cast<int>(i)), want[i].depth) << i;
    }
    EXPECT_EQ(rows[4].parent, 3) << "the orphan stays under its creator";

    timeline_summary s = timeline_summarize(100700000);
    EXPECT_EQ(s.programs, 5u);
    EXPECT_EQ(s.end_us - s.start_us, 700000);
    EXPECT_EQ(s.most_at_once, 4) << "a re-exec is not two at once";
    EXPECT_EQ(s.failed, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(s.longest, (std::vector<int>{0, 2, 4, 3, 1}));

    std::string html = read_file(page);
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(html.find("://"), std::string::npos) << "nothing from the network";
    EXPECT_EQ(html.find("</script><b>"), std::string::npos) << "no word ends the script";
    EXPECT_NE(html.find("\\u003c/script>\\u003cb>"), std::string::npos);
    EXPECT_NE(html.find("[2,400.000,700.000,0,0,4245,\"sleep 9\""), std::string::npos)
        << "a row: depth, start and end in ms, how it ended, status, pid, line";
    unlink(page.c_str());
}

TEST_F(timeline_test, trace_events_give_one_complete_event_per_image_on_one_track_per_process)
{
    script_a_build();
    std::string trace = path + ".json";
    EXPECT_EQ(run({"-T", trace, "make", "-j2"}), 2);
    std::string json = read_file(trace);
    unlink(trace.c_str());
    ASSERT_EQ(json.rfind("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[", 0), 0u);
    auto count = [&](const std::string &what) {
        size_t n = 0;
        for (size_t at = json.find(what); at != std::string::npos; at = json.find(what, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(count("\"ph\":\"X\""), 5u);
    EXPECT_EQ(count("\"name\":\"thread_name\""), 4u) << "the re-exec shares its process's track";
    EXPECT_NE(
        json.find("{\"name\":\"cc\",\"cat\":\"exec\",\"ph\":\"X\",\"ts\":200000,\"dur\":400000,"
                  "\"pid\":1,\"tid\":2,\"args\":{\"pid\":4243,\"ppid\":4242,"
                  "\"argv\":[\"cc\",\"a.c\",\"</script><b>\"],\"user\":\"0\",\"cwd\":\"/\","
                  "\"end\":\"killed\",\"signal\":9}}"),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("\"args\":{\"name\":\"    4245 sleep\"}"), std::string::npos)
        << "tracks named by pid and command, indented by depth";
}

TEST_F(timeline_test, x_writes_an_exit_line_for_every_watched_process_in_every_scope)
{
    fake::add(4242, 1, {"make"});
    fake::add(4243, 4242, {"cc"});
    batch({exec_of(4242), exec_of(4243)});
    batch({fake::proc_note(4243, os::NOTE_EXIT, 0x100)});
    batch({fake::signal_note(os::SIGNO_CHLD)});
    fake::k.ended_children = {{4242, 0}};
    EXPECT_EQ(run({"-x", "make"}), 0);
    EXPECT_EQ(lines(), "4242 make\n"
                       "  4243 cc\n"
                       "  4243- cc exited status=1 time=0.000s\n"
                       "4242- make exited status=0 time=0.000s\n");

    restart();
    fake::add(500, 1, {"sh"});
    fake::add(501, 500, {"sleep"});
    batch(
        {exec_of(501), fake::proc_note(501, os::NOTE_EXIT, 15), fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run({"-x", "-f", "-p", "500"}), 0);
    EXPECT_EQ(lines(), "501 sleep\n501- sleep exited signal=TERM time=0.000s\n")
        << "with -p and flat too";
}

} // namespace
