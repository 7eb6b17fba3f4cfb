// The ancestry walk: depths, queries spent, and walks that must give up.
#include "logic_fixture.h"
#include "procdb/depth.h"

namespace {

class depth_test : public logic_test {
protected:
    void SetUp() override
    {
        logic_test::SetUp();
        // 1 -> 100 -> 200 -> 300; 50 hangs off parent 0 outside pid 1's tree.
        fake::add(1, 0, {"init"});
        fake::add(100, 1, {"sh"});
        fake::add(200, 100, {"make"});
        fake::add(300, 200, {"cc"});
        fake::add(50, 0, {"kthread"});
        fake::add(60, 50, {"worker"});
    }

    int depth_of(int pid, int *queries)
    {
        int before = fake::k.queries.record;
        testing::internal::CaptureStderr();
        int depth = process_depth(pid);
        messages = testing::internal::GetCapturedStderr();
        *queries = fake::k.queries.record - before;
        return depth;
    }

    std::string messages;
};

TEST_F(depth_test, counts_generations_below_the_root_with_one_query_each)
{
    struct {
        int root, pid, depth, queries;
    } cases[] = {
        {1, 1, 0, 1},     {1, 100, 1, 1},   {1, 200, 2, 2},   {1, 300, 3, 3},
        {100, 100, 0, 1}, {100, 300, 2, 2}, {200, 300, 1, 1},
    };
    for (const auto &c : cases) {
        run_settings.root_pid = c.root;
        int queries;
        EXPECT_EQ(depth_of(c.pid, &queries), c.depth) << c.root << " " << c.pid;
        EXPECT_EQ(queries, c.queries) << c.root << " " << c.pid;
        EXPECT_EQ(messages, "");
    }
}

TEST_F(depth_test, a_process_outside_the_root_gives_minus_one_quietly)
{
    int queries;
    run_settings.root_pid = 200;
    EXPECT_EQ(depth_of(100, &queries), -1) << "an ancestor of the root";
    EXPECT_EQ(depth_of(60, &queries), -1) << "under the kernel's own";
    EXPECT_EQ(queries, 2);
    run_settings.root_pid = 100;
    run_settings.command = true;
    EXPECT_EQ(depth_of(60, &queries), -1);
    EXPECT_EQ(messages, "");
}

// The whole system has more than one top: the kernel's own processes and
// what they start (its helpers) are placed below their top as pid 1's are.
TEST_F(depth_test, in_the_whole_system_every_top_of_the_tree_is_a_root)
{
    int queries;
    EXPECT_EQ(depth_of(50, &queries), 0);
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(depth_of(60, &queries), 1);
    EXPECT_EQ(queries, 2);
    EXPECT_EQ(messages, "");
}

TEST_F(depth_test, a_vanished_process_ancestor_or_root_gives_one_message)
{
    fake::k.kvm_error = "process gone";
    fake::k.procs.erase(200);
    int queries;
    EXPECT_EQ(depth_of(300, &queries), -1);
    EXPECT_EQ(messages, "forklog: kvm_getprocs: process gone\n");
    EXPECT_EQ(depth_of(200, &queries), -1);
    EXPECT_EQ(messages, "forklog: kvm_getprocs: process gone\n");
    run_settings.root_pid = 200;
    EXPECT_EQ(depth_of(200, &queries), -1) << "a root that is gone is not depth 0";
    EXPECT_EQ(messages, "forklog: kvm_getprocs: process gone\n");
}

TEST_F(depth_test, a_loop_in_the_parent_links_ends_the_walk)
{
    fake::add(400, 401, {"a"});
    fake::add(401, 402, {"b"});
    fake::add(402, 400, {"c"});
    fake::add(500, 500, {"self"});
    int queries;
    EXPECT_EQ(depth_of(400, &queries), -1);
    EXPECT_LT(queries, 20);
    EXPECT_EQ(depth_of(500, &queries), -1);
    EXPECT_LT(queries, 5);
    EXPECT_EQ(messages, "");
}

TEST_F(depth_test, a_walk_longer_than_the_process_count_gives_up)
{
    // A chain that never ends: every query finds a new parent.
    fake::k.max_processes = 50;
    for (int pid = 1000; pid < 1200; pid++)
        fake::add(pid, pid + 1, {"x"});
    int queries;
    EXPECT_EQ(depth_of(1000, &queries), -1);
    EXPECT_LE(queries, 51);
}

} // namespace
