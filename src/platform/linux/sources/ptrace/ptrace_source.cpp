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
#include <unordered_set>
#include <vector>

#include "platform/linux/clocks.h"
#include "platform/posix/job_control.h"
#include "platform/linux/proc/proc_facts.h"
#include "platform/linux/proc/proc_parse.h"
#include "platform/linux/proc/procfs.h"
#include "platform/linux/sources/ptrace/tracee_stops.h"

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

bool new_tracee_event(int status)
{
    int event = status >> 16;
    return event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE;
}

// What the stops mean is decided in tracee_stops; this reads them, reads
// what they need from the system, and carries out what was decided.
class ptrace_source final : public event_source, public child_reaper {
public:
    ptrace_source(int signal_fd, const procfs &proc)
        : signal_fd_(signal_fd), proc_(proc),
          stops_([this](int tid, int *tgid, int *ppid) { return process_of(tid, tgid, ppid); })
    {
    }
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

    int reap(int pid, int *status, bool stops) override { return stops_.reap(pid, status, stops); }
    bool child_changed() override { return stops_.child_changed(); }

private:
    void on_own_signals();
    void carry_out(event_sink &sink);
    // tid's process and its parent, as /proc shows them; false when gone.
    bool process_of(int tid, int *tgid, int *ppid) const;
    std::shared_ptr<exec_facts> read_facts(const tracee_action &exec);
    void detach_all();

    int signal_fd_;
    const procfs &proc_;
    facts_wanted wanted_;
    tracee_stops stops_;
    std::vector<tracee_action> actions_;
    bool more_ready_ = false;
};

int ptrace_source::watch(int pid, uint32_t)
{
    if (stops_.traced(pid))
        return 0;
    stat_fields st;
    bool own = proc_.read_stat(pid, &st) && st.ppid == getpid();
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
                stops_.seized(tid, pid, own);
                seized++;
            } else if (!first_error) {
                first_error = errno;
            }
        });
    }
    if (seized == 0)
        return first_error ? first_error : ESRCH;
    return 0;
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
        long message = -1;
        unsigned long got;
        if (WIFSTOPPED(status) && new_tracee_event(status) &&
            ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &got) == 0)
            message = static_cast<long>(got);
        stops_.on_status(tid, status, message, monotonic_ns(), actions_);
        carry_out(sink);
    }
    return handled;
}

// In the order decided: an exec's facts are read before the process is let
// run on.
void ptrace_source::carry_out(event_sink &sink)
{
    for (const tracee_action &a : actions_)
        switch (a.kind) {
        case tracee_action::RESUME:
            ptrace(PTRACE_CONT, a.pid, nullptr,
                   reinterpret_cast<void *>(static_cast<long>(a.value)));
            break;
        case tracee_action::LISTEN:
            ptrace(PTRACE_LISTEN, a.pid, nullptr, nullptr);
            break;
        case tracee_action::FORK:
            sink.on_fork(a.pid, a.value, a.ns);
            break;
        case tracee_action::EXEC:
            sink.on_exec(a.pid, a.ns, read_facts(a));
            break;
        case tracee_action::EXIT:
            sink.on_exit(a.pid, a.value, a.ns);
            break;
        }
    actions_.clear();
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
    if (stop && stops_.no_own_children())
        stop_self(stop);
}

bool ptrace_source::process_of(int tid, int *tgid, int *ppid) const
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

// The process is stopped in its new program: what /proc shows is the exec's.
// Its creation, where it was seen here, is exact.
std::shared_ptr<exec_facts> ptrace_source::read_facts(const tracee_action &exec)
{
    if (!exec.created)
        return read_exec_facts(proc_, exec.pid, exec.ns, wanted_, nullptr);
    // No user is made up for a process killed at its exec.
    known_creation known = {};
    known.record.ki_pid = exec.pid;
    known.record.ki_ppid = exec.creator;
    known.record.ki_start = timeval_from_us(wall_us_from_monotonic_ns(exec.created_ns));
    known.stands_if_gone = false;
    return read_exec_facts(proc_, exec.pid, exec.ns, wanted_, &known);
}

// Lets every tracee go. One stopped for a signal gets it on the way out;
// the others are stopped first, since only a stopped tracee can be let go.
void ptrace_source::detach_all()
{
    std::vector<int> tids = stops_.threads();
    std::unordered_set<int> left(tids.begin(), tids.end());
    for (int tid : left)
        ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
    int64_t deadline = monotonic_ns() + DETACH_WAIT_NS;
    while (!left.empty() && monotonic_ns() < deadline) {
        int status;
        int tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid == -1)
            break;
        if (tid == 0) {
            usleep(1000);
            continue;
        }
        left.erase(tid);
        if (!WIFSTOPPED(status))
            continue;
        long sig = detach_signal(status);
        ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void *>(sig));
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
