// Tracing with event stops only: no system-call stops, so a traced program
// runs at full speed between its forks and execs. Every signal a tracee
// receives is passed on as it came, and a stop by a signal is kept with
// PTRACE_LISTEN, so job control works as without the tracer.
#include "platform/linux/sources/ptrace/ptrace_source.h"

#include <cerrno>
#include <csignal>
#include <string_view>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/clocks.h"
#include "platform/posix/job_control.h"
#include "platform/linux/proc/proc_facts.h"
#include "platform/linux/proc/proc_parse.h"
#include "platform/linux/proc/procfs.h"

namespace linux_layer {

using namespace posix_layer;

namespace {

// No PTRACE_O_EXITKILL: if the tool is killed, its tracees go on untraced.
constexpr long OPTIONS =
    PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
// Stops handled in one drain at most, so that the notes are written while a
// storm goes on; the tracees that wait meanwhile hold the storm back.
constexpr int DRAIN_BATCH = 256;
// How long the tool waits, on its way out, for its tracees to stop so that
// they can be let go with the signal each was receiving.
constexpr int64_t DETACH_WAIT_NS = 2000000000;

int event_of(int status)
{
    return status >> 16;
}

bool stop_signal(int sig)
{
    return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

class ptrace_source final : public event_source, public child_reaper {
public:
    ptrace_source(int signal_fd, const procfs &proc) : signal_fd_(signal_fd), proc_(proc) {}
    ~ptrace_source() override
    {
        detach_all();
        close(signal_fd_);
    }

    int descriptor() const override { return signal_fd_; }
    bool records_facts() const override { return true; }
    void want(const facts_wanted &wanted) override { wanted_ = wanted; }
    int watch(int pid, uint32_t fflags) override;
    int drain(event_sink &sink) override;
    bool more_ready() const override { return more_ready_; }

    int reap(int pid, int *status, bool stops) override;
    bool child_changed() override
    {
        bool changed = child_changed_;
        child_changed_ = false;
        return changed;
    }

private:
    void on_own_signals();
    void on_stop(int tid, int status, event_sink &sink);
    void group_stop(int tid, int sig);
    void on_new(int creator, int event, event_sink &sink);
    void on_exec(int pid, event_sink &sink);
    void on_gone(int tid, int status, event_sink &sink);
    // tid's process and its parent, as /proc shows them; false when gone.
    bool process_of(int tid, int *tgid, int *ppid);
    void add_tracee(int tid, int tgid, int creator_tgid, event_sink &sink);
    bool adopt_early(int tid, int ended_creator, event_sink &sink);
    void release_orphans(int ended_tgid, event_sink &sink);
    std::shared_ptr<exec_facts> read_facts(int pid, int64_t ns);
    void resume(int tid, int sig);
    void detach_all();
    int tgid_of(int tid);

    int signal_fd_;
    const procfs &proc_;
    facts_wanted wanted_;
    std::unordered_map<int, int> tgid_;                        // traced thread -> its process
    std::unordered_map<int, std::unordered_set<int>> threads_; // process -> its traced threads
    // Processes whose fork was seen here: when, and by whom.
    struct creation {
        int64_t ns;
        int creator;
    };
    std::unordered_map<int, creation> created_;
    std::unordered_map<int, int>
        early_;                   // new threads stopped before their creator's event: their stop
    std::unordered_set<int> own_; // the tool's own children among the tracees
    std::unordered_map<int, int> ended_; // the tool's children that ended: pid -> wait status
    // The tool's children in a stop by a signal: pid -> wait status, until
    // reaped (then 0) and while stopped.
    std::unordered_map<int, int> stopped_;
    int last_ended_ = 0; // the latest process to end
    bool child_changed_ = false;
    bool more_ready_ = false;
};

int ptrace_source::watch(int pid, uint32_t)
{
    if (threads_.count(pid))
        return 0;
    // Every thread is traced on its own. One that a seized thread creates
    // is traced by its creator's clone event; one that a thread not yet
    // seized creates meanwhile shows in the next look, so the list is read
    // until it holds no thread not tried.
    int seized = 0;
    int first_error = 0;
    std::unordered_set<int> tried;
    for (bool more = true; more;) {
        more = false;
        proc_.for_each_thread(pid, [&](int tid) {
            if (!tried.insert(tid).second)
                return;
            more = true;
            if (ptrace(PTRACE_SEIZE, tid, nullptr, reinterpret_cast<void *>(OPTIONS)) == 0) {
                tgid_[tid] = pid;
                threads_[pid].insert(tid);
                seized++;
            } else if (!first_error) {
                first_error = errno;
            }
        });
    }
    if (seized == 0)
        return first_error ? first_error : ESRCH;
    stat_fields st;
    if (proc_.read_stat(pid, &st) && st.ppid == getpid())
        own_.insert(pid);
    return 0;
}

int ptrace_source::tgid_of(int tid)
{
    auto it = tgid_.find(tid);
    return it == tgid_.end() ? 0 : it->second;
}

void ptrace_source::resume(int tid, int sig)
{
    ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
}

int ptrace_source::drain(event_sink &sink)
{
    on_own_signals();
    int handled = 0;
    more_ready_ = true;
    while (handled < DRAIN_BATCH) {
        int status;
        int tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid <= 0) {
            more_ready_ = false;
            break;
        }
        handled++;
        if (WIFSTOPPED(status))
            on_stop(tid, status, sink);
        else if (WIFEXITED(status) || WIFSIGNALED(status))
            on_gone(tid, status, sink);
    }
    return handled;
}

// The terminal's stop signals reach the tool through the descriptor, so
// that it keeps passing each tracee its signals. A traced command stops the
// tool when it stops itself; with none (a process of the user's own is
// followed), the tool stops as asked.
void ptrace_source::on_own_signals()
{
    struct signalfd_siginfo info[8];
    ssize_t n;
    int stop = 0;
    while ((n = read(signal_fd_, info, sizeof info)) > 0)
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0]; i++)
            if (info[i].ssi_signo != SIGCHLD)
                stop = static_cast<int>(info[i].ssi_signo);
    if (stop && own_.empty())
        stop_self(stop);
}

// The tool's own child stopped by sig is told once, as waitpid would tell
// it; its other threads stop with it.
void ptrace_source::group_stop(int tid, int sig)
{
    if (tid != tgid_of(tid) || !own_.count(tid) || stopped_.count(tid))
        return;
    stopped_[tid] = W_STOPCODE(sig);
    child_changed_ = true;
}

void ptrace_source::on_stop(int tid, int status, event_sink &sink)
{
    int event = event_of(status);
    int sig = WSTOPSIG(status);
    if (!tgid_.count(tid) && !adopt_early(tid, 0, sink)) {
        // A new thread or child whose creator /proc does not show among the
        // tracees: it waits for its creator's event, so that nothing it
        // does comes before its creation.
        early_[tid] = status;
        return;
    }
    // Any other stop of a process's first thread means it runs again.
    bool group = event == PTRACE_EVENT_STOP && stop_signal(sig);
    if (!group)
        stopped_.erase(tid);
    switch (event) {
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE:
        on_new(tid, event, sink);
        resume(tid, 0);
        return;
    case PTRACE_EVENT_EXEC:
        on_exec(tid, sink);
        resume(tid, 0);
        return;
    case PTRACE_EVENT_STOP:
        // A stop by a signal is kept, as the tracee's parent and job
        // control expect; any other (a new tracee's first) is resumed.
        if (group) {
            ptrace(PTRACE_LISTEN, tid, nullptr, nullptr);
            group_stop(tid, sig);
        } else
            resume(tid, 0);
        return;
    case 0:
        resume(tid, sig); // a signal on its way to the tracee: passed on
        return;
    default:
        resume(tid, 0);
    }
}

void ptrace_source::on_new(int creator, int event, event_sink &sink)
{
    unsigned long message = 0;
    if (ptrace(PTRACE_GETEVENTMSG, creator, nullptr, &message) == -1)
        return;
    int child = static_cast<int>(message);
    if (tgid_.count(child))
        return; // its first stop came first and told who created it
    int tgid = child;
    int t, ppid;
    if (event == PTRACE_EVENT_CLONE && process_of(child, &t, &ppid))
        tgid = t;
    add_tracee(child, tgid, tgid_of(creator), sink);
    auto early = early_.find(child);
    if (early != early_.end()) {
        int status = early->second;
        early_.erase(early);
        on_stop(child, status, sink);
    }
}

bool ptrace_source::process_of(int tid, int *tgid, int *ppid)
{
    std::vector<char> buf;
    ssize_t n = proc_.read(tid, "status", buf);
    if (n <= 0)
        return false;
    std::string_view status(buf.data(), static_cast<size_t>(n));
    *tgid = parse_tgid(status);
    *ppid = parse_ppid(status);
    return *tgid > 0;
}

void ptrace_source::add_tracee(int tid, int tgid, int creator_tgid, event_sink &sink)
{
    tgid_[tid] = tgid;
    threads_[tgid].insert(tid);
    if (tgid == tid) {
        int64_t now = monotonic_ns();
        created_[tid] = creation{now, creator_tgid};
        sink.on_fork(creator_tgid, tid, now);
    }
}

// A new tracee stopped before its creator's event was read: /proc tells
// its process and, for a process, its parent. When that is a tracee it is
// taken on now. A parent that is no tracee means its creator has ended and
// was reparented away (only a tracee's children are traced): its creator's
// event will never come, and it is taken on as the child of the process
// that ended (ended_creator, else the latest one), never left stopped.
bool ptrace_source::adopt_early(int tid, int ended_creator, event_sink &sink)
{
    int tgid, ppid;
    if (!process_of(tid, &tgid, &ppid))
        return false;
    if (tgid != tid) {
        if (!tgid_.count(tgid))
            return false;
        add_tracee(tid, tgid, 0, sink);
        return true;
    }
    int creator = ended_creator ? ended_creator : last_ended_;
    if (tgid_.count(ppid))
        creator = tgid_of(ppid);
    if (creator == 0)
        return false;
    add_tracee(tid, tid, creator, sink);
    return true;
}

void ptrace_source::on_exec(int pid, event_sink &sink)
{
    // An exec ends every other thread; the one that called it carries on
    // under the process's pid.
    std::unordered_set<int> &threads = threads_[pid];
    for (int tid : threads)
        if (tid != pid)
            tgid_.erase(tid);
    threads.clear();
    threads.insert(pid);
    tgid_[pid] = pid;
    int64_t now = monotonic_ns();
    sink.on_exec(pid, now, read_facts(pid, now));
}

// The process is stopped in its new program: what /proc shows is the exec's.
// Its creation, where it was seen here, is exact.
std::shared_ptr<exec_facts> ptrace_source::read_facts(int pid, int64_t ns)
{
    auto created = created_.find(pid);
    if (created == created_.end())
        return read_exec_facts(proc_, pid, ns, wanted_, nullptr);
    // No user is made up for a process killed at its exec.
    known_creation known = {};
    known.record.ki_pid = pid;
    known.record.ki_ppid = created->second.creator;
    known.record.ki_start = timeval_from_us(wall_us_from_monotonic_ns(created->second.ns));
    known.stands_if_gone = false;
    return read_exec_facts(proc_, pid, ns, wanted_, &known);
}

void ptrace_source::on_gone(int tid, int status, event_sink &sink)
{
    int tgid = tgid_of(tid);
    tgid_.erase(tid);
    early_.erase(tid);
    if (tgid == 0)
        tgid = tid; // a process gone before any event of it was read
    auto threads = threads_.find(tgid);
    if (threads != threads_.end()) {
        threads->second.erase(tid);
        if (!threads->second.empty())
            return;
        threads_.erase(threads);
    }
    created_.erase(tgid);
    stopped_.erase(tgid);
    sink.on_exit(tgid, status, monotonic_ns());
    last_ended_ = tgid;
    release_orphans(tgid, sink);
    if (own_.erase(tgid)) {
        ended_[tgid] = status;
        child_changed_ = true;
    }
}

// A process has ended: a new tracee still waiting for its creator's event
// whose parent is no tracee now (its creator was killed before the event
// could be read) is taken on as that process's child.
void ptrace_source::release_orphans(int ended_tgid, event_sink &sink)
{
    std::vector<std::pair<int, int>> held(early_.begin(), early_.end());
    for (const auto &[tid, status] : held) {
        if (!early_.count(tid) || !adopt_early(tid, ended_tgid, sink))
            continue;
        early_.erase(tid);
        on_stop(tid, status, sink);
    }
}

int ptrace_source::reap(int pid, int *status, bool stops)
{
    if (stops)
        for (auto &[stopped, code] : stopped_)
            if (code != 0 && (pid == -1 || pid == stopped)) {
                *status = code;
                code = 0;
                return stopped;
            }
    auto it = pid == -1 ? ended_.begin() : ended_.find(pid);
    if (it == ended_.end()) {
        if (own_.empty() && ended_.empty()) {
            errno = ECHILD;
            return -1;
        }
        return 0;
    }
    int reaped = it->first;
    *status = it->second;
    ended_.erase(it);
    return reaped;
}

// Lets every tracee go. One stopped for a signal gets it on the way out;
// the others are stopped first, since only a stopped tracee can be let go.
void ptrace_source::detach_all()
{
    for (const auto &[tid, tgid] : tgid_)
        ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
    int64_t deadline = monotonic_ns() + DETACH_WAIT_NS;
    while (!tgid_.empty() && monotonic_ns() < deadline) {
        int status;
        int tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid == -1)
            break;
        if (tid == 0) {
            usleep(1000);
            continue;
        }
        tgid_.erase(tid);
        if (!WIFSTOPPED(status))
            continue;
        int sig = event_of(status) == 0 ? WSTOPSIG(status) : 0;
        ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
    }
}

} // namespace

std::unique_ptr<event_source> open_ptrace_source(bool whole_system, const procfs &proc)
{
    if (whole_system) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    // Tracees' stops are told by SIGCHLD, read from a descriptor, as are the
    // terminal's stop signals to the tool.
    sigset_t child;
    sigemptyset(&child);
    for (int sig : {SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU})
        sigaddset(&child, sig);
    if (sigprocmask(SIG_BLOCK, &child, nullptr) == -1)
        return nullptr;
    int fd = signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd == -1)
        return nullptr;
    return std::make_unique<ptrace_source>(fd, proc);
}

} // namespace linux_layer
