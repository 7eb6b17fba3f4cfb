// Parsing /proc's text formats from their bytes.
#include <gtest/gtest.h>
#include <optional>
#include <string>
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

TEST(proc_parse_test, control_groups_of_v2_hybrid_and_v1_systems)
{
    const std::pair<const char *, std::optional<std::string>> cases[] = {
        {"0::/system.slice/cron.service\n", "/system.slice/cron.service"},
        // Hybrid: v1 controllers, the unified tree last.
        {"9:name=systemd:/system.slice/a.service\n4:memory:/m\n1:cpu:/\n0::/system.slice/"
         "a.service\n",
         "/system.slice/a.service"},
        // v1 alone: systemd's named hierarchy.
        {"4:memory:/m\n1:name=systemd:/user.slice/s.scope\n", "/user.slice/s.scope"},
        {"0::/a:b/c\n", "/a:b/c"},
        {"0::/no-newline", "/no-newline"},
        {"4:memory:/m\n", std::nullopt},
        {"", std::nullopt},
        {"garbage", std::nullopt},
    };
    for (const auto &[file, path] : cases)
        EXPECT_EQ(parse_cgroup(file), path) << testing::PrintToString(file);
}

TEST(proc_parse_test, the_unified_trees_mount_and_paths_in_it)
{
    // This kind of machine: v1 controllers, the unified tree beside them.
    const char *hybrid =
        "25 30 0:22 / /sys rw,nosuid - sysfs sysfs rw\n"
        "30 25 0:26 / /sys/fs/cgroup/memory rw shared:9 - cgroup cgroup rw,memory\n"
        "31 25 0:27 / /sys/fs/cgroup/unified rw,nosuid shared:10 - cgroup2 cgroup2 rw\n";
    std::optional<cgroup2_mount> m = parse_cgroup2_mount(hybrid);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->root, "/");
    EXPECT_EQ(m->mount_point, "/sys/fs/cgroup/unified");
    EXPECT_EQ(cgroup_path_of(*m, "/sys/fs/cgroup/unified/system.slice/a.service"),
              "/system.slice/a.service");
    EXPECT_EQ(cgroup_path_of(*m, "/sys/fs/cgroup/unified"), "/");
    EXPECT_EQ(cgroup_path_of(*m, "/sys/fs/cgroup/unifiedx/a"), std::nullopt);
    EXPECT_EQ(cgroup_path_of(*m, "/elsewhere"), std::nullopt);

    // A tree mounted from below its root, with an escaped space.
    m = parse_cgroup2_mount("40 1 0:30 /box\\040one /sys/fs/cgroup rw - cgroup2 none rw\n");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->root, "/box one");
    EXPECT_EQ(cgroup_path_of(*m, "/sys/fs/cgroup/x.service"), "/box one/x.service");
    EXPECT_EQ(parse_cgroup2_mount("30 25 0:26 / /sys/fs/cgroup/memory rw - cgroup cgroup rw\n"),
              std::nullopt);
    EXPECT_EQ(parse_cgroup2_mount(""), std::nullopt);
}

} // namespace
