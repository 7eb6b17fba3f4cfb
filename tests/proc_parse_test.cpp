// Parsing /proc's text formats from their bytes.
#include <gtest/gtest.h>
#include <string>

#include "platform/linux/proc/proc_parse.h"

namespace {

using namespace linux_layer;

TEST(proc_parse_test, stat_lines)
{
    const std::string tail = " 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 3 0 12345 0 0\n";
    struct {
        std::string line;
        bool ok;
        int ppid;
        char state;
    } cases[] = {
        {"42 (sh) S 7" + tail, true, 7, 'S'},
        // The name may hold spaces, parentheses and newlines: fields follow the last ')'.
        {"42 (a) Z 9 (b) R 7" + tail, true, 7, 'R'},
        {"42 (x\ny) ) Z 8" + tail, true, 8, 'Z'},
        {"42 () X 0" + tail, true, 0, 'X'},
        {"42 (sh) S 7 1 1", false, 0, 0},  // cut short
        {"42 sh S 7" + tail, false, 0, 0}, // no name
        {"42 (sh)", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const auto &c : cases) {
        stat_fields st = {};
        ASSERT_EQ(parse_stat(c.line, &st), c.ok) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(st.ppid, c.ppid) << c.line;
        EXPECT_EQ(st.state, c.state) << c.line;
        EXPECT_EQ(st.threads, 3) << c.line;
        EXPECT_EQ(st.start_ticks, 12345u) << c.line;
    }
}

TEST(proc_parse_test, status_tgid_and_directory_entries)
{
    EXPECT_EQ(parse_tgid("Name:\tx\nUmask:\t0022\nTgid:\t4321\nPid:\t4322\n"), 4321);
    EXPECT_EQ(parse_tgid("Name:\tTgid: 5\nPid:\t1\n"), -1) << "only a line of its own counts";
    EXPECT_EQ(parse_tgid("Name:\tx\nTgid:\t99999999999\n"), -1);
    EXPECT_EQ(parse_tgid(""), -1);
    EXPECT_EQ(parse_ppid("Name:\tx\nTgid:\t4321\nPPid:\t17\n"), 17);

    const std::pair<const char *, int> entries[] = {
        {"1", 1}, {"4194304", 4194304}, {"self", 0}, {"0", 0}, {"012", 0}, {"12a", 0}, {"", 0},
        {".", 0}, {"2147483648", 0},
    };
    for (const auto &[name, pid] : entries)
        EXPECT_EQ(parse_pid_entry(name), pid) << name;
}

} // namespace
