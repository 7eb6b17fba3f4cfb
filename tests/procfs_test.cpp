// Reading a /proc tree: records, threads, links and files of any size.
#include <cerrno>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

#include "platform/linux/proc/procfs.h"
#include "proc_tree.h"

namespace {

using namespace linux_layer;

TEST(procfs_test, records_threads_and_gone_processes)
{
    proc_tree tree;
    tree.add(10, 1, 'S', 4);
    tree.add(11, 10, 'Z');
    tree.add(12, 10, 'R', 1, 100, 10); // a thread of 10
    procfs proc(tree.root());
    ASSERT_EQ(proc.open_error(), 0);

    os::kinfo_proc kp;
    int threads;
    ASSERT_TRUE(proc.read_process(10, &kp, &threads));
    EXPECT_EQ(kp.ki_pid, 10);
    EXPECT_EQ(kp.ki_ppid, 1);
    EXPECT_EQ(kp.ki_uid, geteuid()) << "the owner of the process's folder";
    EXPECT_EQ(kp.ki_stat, os::SRUN);
    EXPECT_EQ(threads, 4);
    ASSERT_TRUE(proc.read_process(11, &kp, &threads));
    EXPECT_EQ(kp.ki_stat, os::SZOMB);

    EXPECT_TRUE(proc.is_process(10));
    EXPECT_FALSE(proc.is_process(12));
    EXPECT_FALSE(proc.read_process(13, &kp, &threads));
    EXPECT_EQ(errno, ESRCH);

    std::set<int> listed;
    tree.write(10, "../self", ""); // not a pid: passed over
    EXPECT_TRUE(proc.for_each_pid([&listed](int pid) { listed.insert(pid); }));
    EXPECT_EQ(listed, (std::set<int>{10, 11, 12}));
}

TEST(procfs_test, files_of_any_size_and_links_that_must_fit)
{
    proc_tree tree;
    tree.add(10, 1);
    std::string big(100000, 'a');
    big[5000] = '\0';
    tree.write(10, "cmdline", big);
    tree.link(10, "cwd", "/some/where");
    procfs proc(tree.root());

    std::vector<char> buf;
    ASSERT_EQ(proc.read(10, "cmdline", buf), 100000);
    EXPECT_GT(buf.size(), 100000u) << "room for one more byte";
    EXPECT_EQ(std::string(buf.data(), 100000), big);
    EXPECT_EQ(proc.read(11, "cmdline", buf), -1);
    EXPECT_EQ(errno, ESRCH);

    char path[12];
    EXPECT_EQ(proc.read_link(10, "cwd", path, sizeof path), 11);
    EXPECT_STREQ(path, "/some/where");
    EXPECT_EQ(proc.read_link(10, "cwd", path, 11), -1) << "a cut path is no path";
    EXPECT_EQ(errno, ENAMETOOLONG);
}

} // namespace
