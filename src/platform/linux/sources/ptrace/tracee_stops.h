// What the tracer does with each stop and end its tracees report: which
// thread belongs to which process, which new tracee waits for its
// creator's event, which stop is kept for job control, when a process has
// ended, and what the tool's own children tell its waits. It makes no
// system call: the tracer reads the statuses and carries out the actions,
// so that recorded sequences of stops replay in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace linux_layer {

struct tracee_action {
    enum kind_t { RESUME, LISTEN, FORK, EXEC, EXIT };
    kind_t kind;
    int pid;        // RESUME, LISTEN: the thread; FORK: the creator; EXEC, EXIT: the process
    int value = 0;  // RESUME: the signal passed on; FORK: the new process; EXIT: its wait status
    int64_t ns = 0; // FORK, EXEC, EXIT: when
    // EXEC: whether the process's creation was seen here, by whom and when.
    bool created = false;
    int creator = 0;
    int64_t created_ns = 0;
};

// For tests and messages: "resume 12 0", "fork 10 12 @5",
// "exec 12 @7 from 10 @5", "exit 12 0 @9", "listen 12".
std::string describe(const tracee_action &action);

// tid's process and, for a process, its parent, as the system shows them
// now; false when tid is gone.
using thread_lookup = std::function<bool(int tid, int *tgid, int *ppid)>;

class tracee_stops {
public:
    explicit tracee_stops(thread_lookup lookup) : lookup_(std::move(lookup)) {}

    // tid, a thread of process pid, was seized; pid is the tool's own child
    // when own is true.
    void seized(int tid, int pid, bool own);
    bool traced(int pid) const { return threads_.count(pid) != 0; }

    // One wait status of tid, read at now. message is the event message of a
    // fork, vfork or clone event (the new thread's id), -1 when unread.
    void on_status(int tid, int status, long message, int64_t now,
                   std::vector<tracee_action> &actions);

    // As waitpid(pid, status, WNOHANG, with WUNTRACED when stops is true)
    // for the tool's own children among the tracees, pid -1 for any.
    int reap(int pid, int *status, bool stops);
    // Whether a child of the tool ended or stopped since last asked.
    bool child_changed();
    // Whether none of the tool's own children is traced.
    bool no_own_children() const { return own_.empty(); }
    // Every thread traced now.
    std::vector<int> threads() const;

private:
    void on_stop(int tid, int status, long message, std::vector<tracee_action> &out);
    void group_stop(int tid, int sig);
    void on_new(int creator, int event, long message, std::vector<tracee_action> &out);
    void on_exec(int pid, std::vector<tracee_action> &out);
    void on_gone(int tid, int status, std::vector<tracee_action> &out);
    void add_tracee(int tid, int tgid, int creator_tgid, std::vector<tracee_action> &out);
    bool adopt_early(int tid, int ended_creator, std::vector<tracee_action> &out);
    void release_orphans(int ended_tgid, std::vector<tracee_action> &out);
    int tgid_of(int tid) const;

    thread_lookup lookup_;
    int64_t now_ = 0;
    std::unordered_map<int, int> tgid_;                        // traced thread -> its process
    std::unordered_map<int, std::unordered_set<int>> threads_; // process -> its traced threads
    // Processes whose fork was seen here: when, and by whom.
    struct creation {
        int64_t ns;
        int creator;
    };
    std::unordered_map<int, creation> created_;
    // New threads stopped before their creator's event: their stop.
    std::unordered_map<int, int> early_;
    // Threads that another thread's exec ended, whose end is still to come.
    std::unordered_set<int> ended_by_exec_;
    std::unordered_set<int> own_;        // the tool's own children among the tracees
    std::unordered_map<int, int> ended_; // the tool's children that ended: pid -> wait status
    // The tool's children in a stop by a signal: pid -> wait status, until
    // reaped (then 0) and while stopped.
    std::unordered_map<int, int> stopped_;
    int last_ended_ = 0; // the latest process to end
    bool child_changed_ = false;
};

// The signal a tracee stopped with status is let go with.
int detach_signal(int status);

} // namespace linux_layer
