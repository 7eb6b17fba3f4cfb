// Running programs from the live tests and reading the tool's lines.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace live {

using namespace std::chrono_literals;

// Time limits stretched by FORKLOG_TEST_TIME_SCALE, for a machine that runs
// far slower than real hardware (an emulated guest).
inline std::chrono::milliseconds scaled(std::chrono::milliseconds limit)
{
    static const long scale = [] {
        const char *s = getenv("FORKLOG_TEST_TIME_SCALE");
        long n = s ? atol(s) : 1;
        return n > 0 ? n : 1;
    }();
    return limit * scale;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        lines.push_back(line);
    return lines;
}

// One run of a program with its output and errors going to files.
class process_run {
public:
    // Runs argv_words[0] with argv_words, argv[0] replaced by name when given.
    process_run(const std::string &dir, const std::vector<std::string> &argv_words,
                const std::string &name = "")
        : out_path(dir + "/out." + std::to_string(serial)),
          err_path(dir + "/err." + std::to_string(serial))
    {
        serial++;
        std::vector<std::string> words = argv_words;
        std::string path = words[0];
        if (!name.empty())
            words[0] = name;
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        // Whatever the test runner left open stays out of the run, so that
        // limits on descriptors mean the same on every machine.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << path;
    }

    ~process_run()
    {
        if (pid > 0 && !reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // The exit status, or -1 after killing a run that outlived the limit.
    int wait(std::chrono::milliseconds limit = 20s)
    {
        auto deadline = std::chrono::steady_clock::now() + scaled(limit);
        int status;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "still running after the time limit; killed";
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                reaped = true;
                return -1;
            }
            std::this_thread::sleep_for(2ms);
        }
        reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool wait_for_output(const std::string &text, std::chrono::milliseconds limit = 10s)
    {
        auto deadline = std::chrono::steady_clock::now() + scaled(limit);
        while (std::chrono::steady_clock::now() < deadline) {
            if (out().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    void signal(int sig) { kill(pid, sig); }
    std::string out() const { return read_file(out_path); }
    std::string err() const { return read_file(err_path); }

    pid_t pid = -1;

private:
    static inline int serial = 0;
    std::string out_path;
    std::string err_path;
    bool reaped = false;
};

// A line of the output: indentation, pid, marks, the rest.
struct line {
    int depth;
    int pid;
    std::string mark;
    std::string rest;
};

// Splits each output line into its parts; std::regex would recurse once per
// byte of a megabyte-long line. Empty lines, left by processes that ended
// before they could be read, are passed over when allowed.
inline std::vector<line> parse(const std::string &out, bool allow_empty = false)
{
    std::vector<line> lines;
    for (const std::string &l : split_lines(out)) {
        if (allow_empty && l.empty())
            continue;
        size_t spaces = l.find_first_not_of(' ');
        size_t digits =
            spaces == std::string::npos ? spaces : l.find_first_not_of("0123456789", spaces);
        bool whole = spaces % 2 == 0 && digits != std::string::npos && digits > spaces;
        size_t rest = digits;
        std::string mark;
        if (whole && (l[rest] == '+' || l[rest] == '-'))
            mark = l[rest++];
        if (!whole || rest >= l.size() || l[rest] != ' ') {
            ADD_FAILURE() << "not a whole line: " << testing::PrintToString(l.substr(0, 200));
            continue;
        }
        lines.push_back({static_cast<int>(spaces) / 2, std::stoi(l.substr(spaces, digits - spaces)),
                         mark, l.substr(rest + 1)});
    }
    return lines;
}

} // namespace live
