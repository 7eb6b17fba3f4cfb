// JSON Lines: every byte comes back through a real JSON parser, and the
// objects of an exec, a re-exec, an unreadable process and an exit.
#include <fstream>
#include <random>

#include "command_output.h"
#include "logic_fixture.h"
#include "report/exec_report.h"
#include "report/exit_report.h"
#include "report/json.h"

namespace {

class json_test : public logic_test {
protected:
    void SetUp() override
    {
        logic_test::SetUp();
        run_settings.json = true;
        fake::add(1, 0, {"init"});
        fake::add(500, 1, {"sh"});
    }

    std::string json(const std::string &bytes)
    {
        fflush(out);
        size_t before = len;
        print_json_string(bytes.c_str());
        fflush(out);
        return std::string(buf + before, len - before);
    }
};

TEST_F(json_test, strings_escape_what_json_and_terminals_need)
{
    const std::pair<std::string, std::string> table[] = {
        {"", R"("")"},
        {"a b", R"("a b")"},
        {"\"\\", R"("\"\\")"},
        {"a\nb\tc\x1b[2J\x7f", R"("a\nb\tc\u001b[2J\u007f")"},
        {"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"c1 \xc2\x9b", R"("c1 \u009b")"},
        {"evil\xe2\x80\xae"
         "fdp \xe2\x81\xa6\xe2\x80\x8f\xef\xbb\xbf\xe2\x80\xa8",
         R"("evil\u202efdp \u2066\u200f\ufeff\u2028")"},
        {"\xff\xfe", R"("\udcff\udcfe")"},
        {"\xc0\xaf \xed\xa0\x80", R"("\udcc0\udcaf \udced\udca0\udc80")"},
        {"cut \xe2\x82", R"("cut \udce2\udc82")"},
    };
    for (const auto &[bytes, expected] : table)
        EXPECT_EQ(json(bytes), expected) << ::testing::PrintToString(bytes);
}

// Python's json module reads every string back, and the bytes come back
// exactly with its "surrogateescape" handler, as the manual page says.
TEST_F(json_test, a_json_parser_gives_back_every_byte)
{
    std::mt19937 rng(20261210);
    std::vector<std::string> words = {
        "", "\"", "\\", "\n", "\xff", "\xed\xa0\x80", std::string(1 << 20, 'x') + "\xc2\x9b"};
    for (int i = 0; i < 300; i++) {
        std::string w(rng() % 32, '\0');
        for (char &c : w)
            c = static_cast<char>(1 + rng() % 255);
        words.push_back(w);
    }
    char lines_name[] = "/tmp/forklog-json-XXXXXX";
    int fd = mkstemp(lines_name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream lines(lines_name, std::ios::binary);
        for (const std::string &w : words)
            lines << json(w) << "\n";
    }
    std::string command = std::string("python3 -c 'import json, sys\n"
                                      "for line in open(sys.argv[1], encoding=\"utf-8\"):\n"
                                      "    sys.stdout.buffer.write(json.loads(line).encode("
                                      "\"utf-8\", \"surrogateescape\") + b\"\\0\")' ") +
                          lines_name;
    int status;
    std::vector<std::string> back = split_at_nuls(output_of(command, &status));
    EXPECT_EQ(status, 0);
    unlink(lines_name);
    ASSERT_EQ(back.size(), words.size());
    for (size_t i = 0; i < words.size(); i++)
        EXPECT_TRUE(back[i] == words[i]) << ::testing::PrintToString(words[i].substr(0, 64));
}

TEST_F(json_test, exec_re_exec_unreadable_and_exit_objects)
{
    run_settings.timing = true;
    run_settings.show_user = true;
    run_settings.show_cwd = true;
    run_settings.full_path = true;
    run_settings.show_env = true;
    fake::k.users[1000] = "builder";
    fake::process &p = fake::add(731, 500, {"make", "-j4"});
    p.uid = 1000;
    p.cwd = "/src";
    p.exe = "/usr/bin/make";
    p.env = {"A=1", "B"};
    p.start = {1700000000, 250000};
    p.exec_time = {1765343700, 123456};
    EXPECT_EQ(report(731), R"({"event":"exec","time":"2025-12-10T05:15:00.123456Z","pid":731,)"
                           R"("ppid":500,"depth":2,"argv":["make","-j4"],"user":"builder",)"
                           R"("uid":1000,"cwd":"/src","exe":"/usr/bin/make","env":["A=1","B"]})"
                           "\n");
    p.uid = 7;
    p.fail_cwd = p.fail_path = p.fail_env = true;
    p.exec_time = {1765343701, 0};
    fake::k.clock = {1765343701, 500000};
    EXPECT_EQ(report(731), R"({"event":"execed","time":"2025-12-10T05:15:01.000000Z","pid":731,)"
                           R"("depth":2,"cmd":"/usr/bin/make","time_s":65343701.250})"
                           "\n"
                           R"({"event":"exec","time":"2025-12-10T05:15:01.000000Z","pid":731,)"
                           R"("ppid":500,"depth":2,"argv":["make","-j4"],"user":null,"uid":7,)"
                           R"("cwd":null,"exe":null,"env":null})"
                           "\n");
    p.fail_argv = true;
    EXPECT_EQ(report(731), R"({"event":"exec","time":"2025-12-10T05:15:01.000000Z","pid":731,)"
                           R"("depth":2,"error":"kvm_getargv: No such process"})"
                           "\n")
        << "a process that could not be read says so";
    EXPECT_EQ(messages, started_as("kvm_getargv: No such process\n"));
    size_t before = written().size();
    fake::k.clock = {1765343702, 0};
    report_exit(731, 9);
    EXPECT_EQ(written().substr(before),
              R"({"event":"exit","time":"2025-12-10T05:15:02.000000Z","pid":731,"depth":2,)"
              R"("cmd":"make","signal":"KILL","time_s":0.500})"
              "\n");
}

} // namespace
