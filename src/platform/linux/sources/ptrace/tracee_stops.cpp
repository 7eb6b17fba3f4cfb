// The tracer's decisions, from the wait statuses of its tracees.
#include "platform/linux/sources/ptrace/tracee_stops.h"

#include <cerrno>
#include <csignal>
#include <sys/ptrace.h>
#include <sys/wait.h>

namespace linux_layer {

namespace {

int event_of(int status)
{
    return status >> 16;
}

bool stop_signal(int sig)
{
    return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

} // namespace

std::string describe(const tracee_action &a)
{
    auto n = [](int64_t v) { return std::to_string(v); };
    switch (a.kind) {
    case tracee_action::RESUME:
        return "resume " + n(a.pid) + " " + n(a.value);
    case tracee_action::LISTEN:
        return "listen " + n(a.pid);
    case tracee_action::FORK:
        return "fork " + n(a.pid) + " " + n(a.value) + " @" + n(a.ns);
    case tracee_action::EXEC:
        return "exec " + n(a.pid) + " @" + n(a.ns) +
               (a.created ? " from " + n(a.creator) + " @" + n(a.created_ns) : "");
    case tracee_action::EXIT:
        return "exit " + n(a.pid) + " " + n(a.value) + " @" + n(a.ns);
    }
    return "?";
}

int detach_signal(int status)
{
    return WIFSTOPPED(status) && event_of(status) == 0 ? WSTOPSIG(status) : 0;
}

void tracee_stops::seized(int tid, int pid, bool own)
{
    tgid_[tid] = pid;
    threads_[pid].insert(tid);
    if (own)
        own_.insert(pid);
}

int tracee_stops::tgid_of(int tid) const
{
    auto it = tgid_.find(tid);
    return it == tgid_.end() ? 0 : it->second;
}

std::vector<int> tracee_stops::threads() const
{
    std::vector<int> tids;
    tids.reserve(tgid_.size());
    for (const auto &[tid, tgid] : tgid_)
        tids.push_back(tid);
    return tids;
}

void tracee_stops::on_status(int tid, int status, long message, int64_t now,
                             std::vector<tracee_action> &actions)
{
    now_ = now;
    if (WIFSTOPPED(status))
        on_stop(tid, status, message, actions);
    else if (WIFEXITED(status) || WIFSIGNALED(status))
        on_gone(tid, status, actions);
}

// The tool's own child stopped by sig is told once, as waitpid would tell
// it; its other threads stop with it.
void tracee_stops::group_stop(int tid, int sig)
{
    if (tid != tgid_of(tid) || !own_.count(tid) || stopped_.count(tid))
        return;
    stopped_[tid] = W_STOPCODE(sig);
    child_changed_ = true;
}

void tracee_stops::on_stop(int tid, int status, long message, std::vector<tracee_action> &out)
{
    int event = event_of(status);
    int sig = WSTOPSIG(status);
    if (!tgid_.count(tid) && !adopt_early(tid, 0, out)) {
        // A new thread or child whose creator the system does not show among
        // the tracees: it waits for its creator's event, so that nothing it
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
        on_new(tid, event, message, out);
        out.push_back({tracee_action::RESUME, tid});
        return;
    case PTRACE_EVENT_EXEC:
        on_exec(tid, out);
        out.push_back({tracee_action::RESUME, tid});
        return;
    case PTRACE_EVENT_STOP:
        // A stop by a signal is kept, as the tracee's parent and job
        // control expect; any other (a new tracee's first) is resumed.
        if (group) {
            out.push_back({tracee_action::LISTEN, tid});
            group_stop(tid, sig);
        } else
            out.push_back({tracee_action::RESUME, tid});
        return;
    case 0:
        // A signal on its way to the tracee: passed on.
        out.push_back({tracee_action::RESUME, tid, sig});
        return;
    default:
        out.push_back({tracee_action::RESUME, tid});
    }
}

void tracee_stops::on_new(int creator, int event, long message, std::vector<tracee_action> &out)
{
    if (message < 0)
        return;
    int child = static_cast<int>(message);
    if (tgid_.count(child))
        return; // its first stop came first and told who created it
    int tgid = child;
    int t, ppid;
    if (event == PTRACE_EVENT_CLONE && lookup_(child, &t, &ppid))
        tgid = t;
    add_tracee(child, tgid, tgid_of(creator), out);
    auto early = early_.find(child);
    if (early != early_.end()) {
        int status = early->second;
        early_.erase(early);
        on_stop(child, status, -1, out);
    }
}

void tracee_stops::add_tracee(int tid, int tgid, int creator_tgid, std::vector<tracee_action> &out)
{
    tgid_[tid] = tgid;
    threads_[tgid].insert(tid);
    if (tgid == tid) {
        created_[tid] = creation{now_, creator_tgid};
        out.push_back({tracee_action::FORK, creator_tgid, tid, now_});
    }
}

// A new tracee stopped before its creator's event was read: the system
// tells its process and, for a process, its parent. When that is a tracee
// it is taken on now. A parent that is no tracee means its creator has
// ended and was reparented away (only a tracee's children are traced): its
// creator's event will never come, and it is taken on as the child of the
// process that ended (ended_creator, else the latest one), never left
// stopped.
bool tracee_stops::adopt_early(int tid, int ended_creator, std::vector<tracee_action> &out)
{
    int tgid, ppid;
    if (!lookup_(tid, &tgid, &ppid) || tgid <= 0)
        return false;
    if (tgid != tid) {
        if (!tgid_.count(tgid))
            return false;
        add_tracee(tid, tgid, 0, out);
        return true;
    }
    int creator = ended_creator ? ended_creator : last_ended_;
    if (tgid_.count(ppid))
        creator = tgid_of(ppid);
    if (creator == 0)
        return false;
    add_tracee(tid, tid, creator, out);
    return true;
}

void tracee_stops::on_exec(int pid, std::vector<tracee_action> &out)
{
    // An exec ends every other thread; the one that called it carries on
    // under the process's pid. The others' ends may still come.
    std::unordered_set<int> &threads = threads_[pid];
    for (int tid : threads)
        if (tid != pid) {
            tgid_.erase(tid);
            ended_by_exec_.insert(tid);
        }
    threads.clear();
    threads.insert(pid);
    tgid_[pid] = pid;
    tracee_action exec = {tracee_action::EXEC, pid, 0, now_};
    auto created = created_.find(pid);
    if (created != created_.end()) {
        exec.created = true;
        exec.creator = created->second.creator;
        exec.created_ns = created->second.ns;
    }
    out.push_back(exec);
}

void tracee_stops::on_gone(int tid, int status, std::vector<tracee_action> &out)
{
    if (ended_by_exec_.erase(tid) && !tgid_.count(tid))
        return;
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
    out.push_back({tracee_action::EXIT, tgid, status, now_});
    last_ended_ = tgid;
    release_orphans(tgid, out);
    if (own_.erase(tgid)) {
        ended_[tgid] = status;
        child_changed_ = true;
    }
}

// A process has ended: a new tracee still waiting for its creator's event
// whose parent is no tracee now (its creator was killed before the event
// could be read) is taken on as that process's child.
void tracee_stops::release_orphans(int ended_tgid, std::vector<tracee_action> &out)
{
    std::vector<std::pair<int, int>> held(early_.begin(), early_.end());
    for (const auto &[tid, status] : held) {
        if (!early_.count(tid) || !adopt_early(tid, ended_tgid, out))
            continue;
        early_.erase(tid);
        on_stop(tid, status, -1, out);
    }
}

int tracee_stops::reap(int pid, int *status, bool stops)
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

bool tracee_stops::child_changed()
{
    bool changed = child_changed_;
    child_changed_ = false;
    return changed;
}

} // namespace linux_layer
