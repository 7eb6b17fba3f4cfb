// The output's backlog: a reader that does not read holds up no writer
// below the cap, an interrupt ends any wait, and a failed write is told.
#include "platform/posix/output_writer.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using posix_layer::output_writer;

struct unread_pipe {
    unread_pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
    ~unread_pipe()
    {
        close(fds[0]);
        if (fds[1] != -1)
            close(fds[1]);
    }
    // Everything the writer sends until it closes its end.
    std::string read_all(int until)
    {
        std::string got;
        char buf[65536];
        while (got.size() < static_cast<size_t>(until)) {
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    int fds[2] = {-1, -1};
};

TEST(output_writer_test, lines_wait_for_a_slow_reader_and_arrive_whole_in_order)
{
    unread_pipe p;
    std::atomic<bool> interrupted = false;
    std::string expected;
    {
        output_writer writer(p.fds[1], [&] { return interrupted.load(); });
        for (int i = 0; i < 2000; i++) {
            std::string line = "line " + std::to_string(i) + " " + std::string(100, 'x') + "\n";
            expected += line;
            ASSERT_EQ(writer.take(line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
        // Far more than the pipe holds (64 KiB at most, some 600 lines), so
        // most is waiting.
        long left = writer.unwritten_lines();
        EXPECT_GT(left, 1300);
        EXPECT_LE(left, 2000);
        interrupted = true;
        EXPECT_FALSE(writer.drain()) << "an interrupt ends the wait";
        EXPECT_EQ(writer.unwritten_lines(), left);
        interrupted = false;
        std::string got = p.read_all(static_cast<int>(expected.size()));
        EXPECT_TRUE(writer.drain());
        EXPECT_EQ(writer.unwritten_lines(), 0);
        EXPECT_EQ(got, expected);
    }
}

TEST(output_writer_test, at_the_cap_a_writer_waits_until_interrupted_or_given_up)
{
    unread_pipe p;
    std::atomic<int> checks = 0;
    // Chunks as large as a pipe holds at most, and a cap of two: the pipe,
    // the chunk being written and the backlog are full before the takes end.
    constexpr size_t CHUNK = 65536;
    output_writer writer(
        p.fds[1], [&] { return ++checks > 3; }, 2 * CHUNK);
    std::string chunk(CHUNK, 'y');
    chunk.back() = '\n';
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(writer.take(chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    EXPECT_GT(checks.load(), 3) << "the takes over the cap waited for the interrupt";
    int seen = checks.load();
    writer.give_up();
    EXPECT_EQ(writer.take(chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    EXPECT_EQ(checks.load(), seen) << "given up, a take never waits";
    EXPECT_EQ(p.read_all(9 * CHUNK).size(), 9u * CHUNK);
}

TEST(output_writer_test, a_failed_write_is_told_to_the_next_take_and_to_drain)
{
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_NE(full, -1);
    {
        output_writer writer(full, [] { return false; });
        EXPECT_EQ(writer.take("a\n", 2), 2);
        EXPECT_FALSE(writer.drain());
        EXPECT_EQ(writer.failure(), ENOSPC);
        errno = 0;
        EXPECT_EQ(writer.take("b\n", 2), -1);
        EXPECT_EQ(errno, ENOSPC);
    }
    close(full);
}

// Rotation: the file is renamed away, and the writer switches to a new one
// while lines wait for a reader that has stopped; every line taken before
// the switch is in the old file, every one after in the new, none twice.
TEST(output_writer_test, a_switch_of_file_splits_the_lines_at_the_switch_and_loses_none)
{
    char dir[] = "/tmp/forklog-switch-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/out";
    std::string rotated = path + ".1";
    auto slurp = [](const std::string &name) {
        std::string got;
        int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[65536];
        ssize_t n;
        while (fd != -1 && (n = read(fd, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        if (fd != -1)
            close(fd);
        return got;
    };
    auto append_to = [](const std::string &name) {
        return open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    };
    int fd = append_to(path);
    ASSERT_NE(fd, -1);
    std::string before, after;
    {
        output_writer writer(fd, [] { return false; });
        // Before the first line, and twice in a row at a boundary.
        ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
        writer.switch_to(append_to(path));
        for (int round = 0; round < 3; round++) {
            for (int i = 0; i < 3000; i++) {
                std::string line = std::to_string(round) + ":" + std::to_string(i) + "\n";
                (round < 2 ? before : after) += line;
                ASSERT_EQ(writer.take(line.data(), line.size()), static_cast<ssize_t>(line.size()));
            }
            if (round == 1) {
                ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
                writer.switch_to(append_to(path));
                writer.switch_to(append_to(path));
            }
        }
        EXPECT_TRUE(writer.drain());
    }
    EXPECT_EQ(slurp(rotated), before);
    EXPECT_EQ(slurp(path), after);
    close(fd);
    unlink(path.c_str());
    unlink(rotated.c_str());
    rmdir(dir);
}

} // namespace
