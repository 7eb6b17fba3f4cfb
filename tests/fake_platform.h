// A scripted kernel behind the platform seam, for unit tests of the logic:
// a process table that tests fill, queued notes, scripted reaping, a settable
// clock and password table, failure switches and query counters.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct process {
    int pid = 0;
    int ppid = 0;
    uint32_t uid = 0;
    os::timeval start = {};
    os::timeval exec_time = {}; // zero: the platform does not know it
    int stat = os::SRUN;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string cwd = "/";
    std::string exe;
    std::string cgroup; // empty: it cannot be read
    // Failure switches, one per query.
    bool fail_record = false;
    int records_until_failure = -1; // when >= 0, that many record queries succeed
    bool fail_argv = false;
    bool fail_env = false;
    bool fail_cwd = false;
    bool fail_path = false;
    // Listed in the next snapshot, then gone before its watch can be added.
    bool vanish_after_snapshot = false;
};

struct counters {
    int record = 0; // KERN_PROC_PID queries
    int snapshot = 0;
    int argv = 0;
    int env = 0;
    int cwd = 0;
    int path = 0;
    int cgroup = 0;
    int passwd = 0;
    int change_calls = 0;
    int waits = 0;
};

struct kernel {
    std::map<int, process> procs;
    std::map<uint32_t, std::string> users;
    os::timeval clock = {};
    counters queries;

    // Notes handed out by successive waits, one batch per wait.
    std::deque<std::vector<struct os::kevent>> batches;
    // Called before each wait hands out its batch.
    std::function<void()> before_wait;
    // Children that waitpid reaps, in order; then it answers 0.
    std::deque<std::pair<int, int>> ended_children;
    // Children whose reported stop is already over (continued meanwhile).
    std::set<int> running_again;
    // The tool's own stops (stop_as) and the signals it sent (kill).
    std::vector<int> stops;
    std::vector<std::pair<int, int>> kills;

    // Every change applied, in order, and the size of each change call.
    std::vector<struct os::kevent> watches;
    std::vector<int> change_sizes;
    // errno for the next change calls; 0 lets a call apply its changes.
    std::deque<int> change_errnos;

    bool stdout_closed = false;
    int kqueue_errno = 0;
    int kvm_open_errno = 0;
    bool snapshot_fails = false;
    std::string kvm_error = "No such process";
    int fork_result = 4242; // -1 fails with fork_errno
    int fork_errno = EAGAIN;
    std::vector<std::string> execvp_calls;
    int execvp_errno = ENOENT;
    std::vector<std::pair<int, int>> signal_calls;
    int max_processes = 99999;
    int will_ask_env = -1; // what the logic said it will ask; -1 before it says
    int will_ask_cgroup = -1;
    int will_watch_system = -1;    // what the logic said it will watch; -1 before it says
    int watch_told_at_kqueue = -1; // will_watch_system when the queue was made
    bool output_is_terminal = false;
    long lines_left_at_interrupt = 0; // what the output has not taken when the run is interrupted
    // The system journal: errnos of its start and of every send from the
    // n-th on, and each entry sent, a field per string.
    int journal_open_errno = 0;
    int journal_send_errno = 0;
    int journal_sends_until_failure = -1;
    std::vector<std::vector<std::string>> journal;
    // Paths the output was reopened on.
    std::vector<std::string> reopened;
};

extern kernel k;

// Empties the kernel and the logic's run-wide state.
void reset();

// Adds a running process to the table.
process &add(int pid, int ppid, std::vector<std::string> argv);

// Notes as the kernel writes them.
struct os::kevent proc_note(int pid, uint32_t fflags, int status = 0);
struct os::kevent signal_note(int signo);

} // namespace fake
