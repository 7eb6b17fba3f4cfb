// The reports' queries about a process: from the facts of its exec when
// there are any, from /proc when not, and a cut area only when /proc agrees.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/linux/proc/process_queries.h"
#include "proc_tree.h"

namespace {

using namespace linux_layer;

std::vector<std::string> words(char **v)
{
    std::vector<std::string> out;
    for (; v && *v; v++)
        out.emplace_back(*v);
    return out;
}

std::vector<char> bytes(const std::string &s)
{
    return std::vector<char>(s.begin(), s.end());
}

class process_queries_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.add(10, 1);
        tree.write(10, "cmdline", std::string("sh\0-c\0true\0", 11));
        tree.write(10, "environ", "");
        tree.link(10, "exe", "/bin/dash");
        tree.link(10, "cwd", "/proc/cwd");
    }

    proc_tree tree;
    procfs proc{tree.root()};
    process_queries queries{proc};
};

TEST_F(process_queries_test, the_facts_of_the_exec_answer_before_proc)
{
    exec_facts f;
    f.argv_ok = f.env_ok = f.exe_ok = f.cwd_ok = true;
    f.argv_bytes = bytes(std::string("ls\0-l\0\0", 7)); // an empty last word
    f.env_bytes = bytes(std::string("A=1\0B", 5));      // a last word without its NUL
    f.exe = "/usr/bin/ls";
    f.cwd = "/home";
    EXPECT_EQ(words(queries.argv(10, &f)), (std::vector<std::string>{"ls", "-l", ""}));
    EXPECT_EQ(words(queries.envv(10, &f)), (std::vector<std::string>{"A=1", "B"}));
    char path[64];
    EXPECT_EQ(queries.exe(10, &f, path, sizeof path), 11);
    EXPECT_STREQ(path, "/usr/bin/ls");
    EXPECT_EQ(queries.cwd(10, &f, path, sizeof path), 5);
    EXPECT_STREQ(path, "/home");

    // Facts without data (their records were lost) leave every answer to /proc.
    exec_facts partial;
    EXPECT_EQ(words(queries.argv(10, &partial)), (std::vector<std::string>{"sh", "-c", "true"}));
    EXPECT_EQ(words(queries.envv(10, &partial)), (std::vector<std::string>{}));
    EXPECT_EQ(queries.exe(10, &partial, path, sizeof path), 9);
    EXPECT_STREQ(path, "/bin/dash");
    EXPECT_EQ(queries.cwd(10, nullptr, path, sizeof path), 9);
}

TEST_F(process_queries_test, a_process_gone_or_without_memory_has_no_arguments)
{
    EXPECT_EQ(queries.argv(11, nullptr), nullptr);
    EXPECT_EQ(errno, ESRCH);
    tree.write(10, "cmdline", "");
    EXPECT_EQ(queries.argv(10, nullptr), nullptr);
    EXPECT_EQ(errno, ESRCH);
    char **env = queries.envv(10, nullptr);
    ASSERT_NE(env, nullptr) << "an empty environment is one";
    EXPECT_EQ(env[0], nullptr);
}

TEST_F(process_queries_test, a_cut_area_is_whole_only_when_proc_begins_with_it)
{
    exec_facts f;
    f.argv_ok = f.argv_cut = true;
    f.argv_bytes = bytes(std::string("sh\0-", 4));
    testing::internal::CaptureStderr();
    EXPECT_EQ(words(queries.argv(10, &f)), (std::vector<std::string>{"sh", "-c", "true"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // The process rewrote its area, or is gone: the recorded start stands.
    f.argv_bytes = bytes(std::string("xx\0-", 4));
    for (int pid : {10, 11}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(words(queries.argv(pid, &f)), (std::vector<std::string>{"xx", "-"}));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "forklog: warning: the argument area of process " + std::to_string(pid) +
                      " was cut at 4 bytes\n");
    }

    // /proc showing no more than the recorded start was read cut short (the
    // process ended mid-read): the area was longer, so it is still cut.
    tree.add(12, 1);
    tree.write(12, "cmdline", std::string("sh\0-", 4));
    f.argv_bytes = bytes(std::string("sh\0-", 4));
    testing::internal::CaptureStderr();
    EXPECT_EQ(words(queries.argv(12, &f)), (std::vector<std::string>{"sh", "-"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "forklog: warning: the argument area of process 12 was cut at 4 bytes\n");
}

} // namespace
