// Following the watched processes from the events a source reports.
#include "platform/linux/tracker.h"

#include <cerrno>

#include "platform/linux/clocks.h"
#include "platform/posix/message.h"
#include "platform/linux/proc/proc_facts.h"

namespace linux_layer {

using namespace posix_layer;

namespace {

constexpr uint64_t SIGNAL_KEY = uint64_t{1} << 63;

// What one note holds in memory, its facts included.
size_t cost(const exec_facts *facts)
{
    size_t bytes = sizeof(struct os::kevent) + 64; // the note, its key and its place
    if (facts)
        bytes += sizeof *facts + facts->argv_bytes.size() + facts->env_bytes.size() +
                 facts->exe.size() + facts->cwd.size() + facts->cgroup.size();
    return bytes;
}

} // namespace

tracker::tracker(const procfs &proc, std::function<int(int, uint32_t)> tell_source)
    : proc_(proc), tell_source_(std::move(tell_source)), table_(proc)
{
}

void tracker::start(bool merge_notes)
{
    merging_ = merge_notes;
    table_.seed();
}

void tracker::post(uint64_t key, int16_t filter, uintptr_t ident, uint32_t fflags, int64_t data,
                   std::shared_ptr<exec_facts> facts)
{
    if (!merging_ && filter == os::EVFILT_PROC)
        key = next_unmerged_key_++;
    auto it = pending_at_.find(key);
    // An end does not swallow an exec that is still to be read: the exec
    // keeps its own note, so that it is still reported.
    if (it != pending_at_.end() && (fflags & os::NOTE_EXIT) &&
        (pending_[it->second - taken_].event.fflags & os::NOTE_EXEC)) {
        pending_at_.erase(it);
        key = next_unmerged_key_++;
        it = pending_at_.end();
    }
    if (it != pending_at_.end()) {
        struct os::kevent &merged = pending_[it->second - taken_].event;
        merged.fflags |= fflags;
        if (fflags & os::NOTE_EXIT)
            merged.data = data;
        return;
    }
    note n = {};
    n.event.ident = ident;
    n.event.filter = filter;
    n.event.fflags = fflags;
    n.event.data = data;
    n.key = key;
    held_bytes_ += cost(facts.get());
    n.facts = std::move(facts);
    pending_at_[key] = taken_ + pending_.size();
    pending_.push_back(std::move(n));
}

int tracker::watch(int pid, uint32_t fflags)
{
    os::kinfo_proc kp;
    int threads;
    if (pid <= 0)
        return ESRCH;
    // A process that is gone or is a thread is refused as gone; any other
    // failure (no descriptor left) is told as it is.
    if (!proc_.read_process(pid, &kp, &threads))
        return errno == ENOENT || errno == EINVAL ? ESRCH : errno;
    if (!proc_.is_process(pid))
        return ESRCH;
    if (kp.ki_stat == os::SZOMB && !(fflags & os::NOTE_EXIT))
        return ESRCH;
    int64_t since = monotonic_ns();
    if (int e = tell_source_(pid, fflags))
        return e;
    auto it = watches_.find(pid);
    if (it != watches_.end())
        it->second.fflags = fflags;
    else
        watches_[pid] = watch_entry{fflags, since, next_serial_++, threads > 1 ? threads : 1};
    return 0;
}

void tracker::post_signal(int signo)
{
    post(SIGNAL_KEY | static_cast<uint64_t>(signo), os::EVFILT_SIGNAL,
         static_cast<uintptr_t>(signo), 0, 0, nullptr);
}

int tracker::take_batch(struct os::kevent *events, int nevents)
{
    batch_.clear();
    int n = 0;
    while (n < nevents && !pending_.empty()) {
        note &front = pending_.front();
        int pid = static_cast<int>(front.event.ident);
        if (front.event.filter == os::EVFILT_PROC) {
            if (batch_.count(pid))
                break;
            batch_[pid] = front.facts;
        }
        events[n++] = front.event;
        held_bytes_ -= cost(front.facts.get());
        pending_at_.erase(front.key);
        pending_.pop_front();
        taken_++;
    }
    // Notes handed out before this batch have been reported.
    table_.forget_ended(taken_ - static_cast<uint64_t>(n));
    return n;
}

const exec_facts *tracker::batch_facts(int pid) const
{
    auto it = batch_.find(pid);
    return it == batch_.end() ? nullptr : it->second.get();
}

// From /proc, with the exact start time when the table holds it: the fork
// time a source saw is exact, /proc counts clock ticks.
bool tracker::read_record(int pid, os::kinfo_proc *kp)
{
    int threads;
    if (!proc_.read_process(pid, kp, &threads))
        return false;
    int64_t start_us = us_from_timeval(kp->ki_start);
    if (table_.start(pid, start_us, &start_us))
        kp->ki_start = timeval_from_us(start_us);
    return true;
}

bool tracker::record(int pid, os::kinfo_proc *kp)
{
    if (const exec_facts *f = batch_facts(pid)) {
        *kp = f->record;
        return true;
    }
    if (table_.record(pid, kp))
        return true;
    if (!read_record(pid, kp))
        return false;
    if (kp->ki_stat != os::SZOMB)
        table_.remember(*kp);
    return true;
}

bool tracker::all_records(std::vector<os::kinfo_proc> &out)
{
    out.clear();
    return proc_.for_each_pid([this, &out](int pid) {
        os::kinfo_proc kp;
        if (read_record(pid, &kp)) // a process gone by now is left out
            out.push_back(kp);
    });
}

void tracker::on_fork(int parent_tgid, int child_tgid, int64_t ns)
{
    table_.fork(parent_tgid, child_tgid, ns);
    auto parent = watches_.find(parent_tgid);
    if (parent == watches_.end() || !(parent->second.fflags & os::NOTE_TRACK) ||
        ns < parent->second.since_ns)
        return;
    // The child is watched from its creation, as its parent is.
    watches_[child_tgid] = watch_entry{parent->second.fflags, ns, next_serial_++, 1};
}

void tracker::on_thread(int tgid)
{
    auto it = watches_.find(tgid);
    if (it != watches_.end())
        it->second.threads++;
}

void tracker::on_exec(int tgid, int64_t ns, std::shared_ptr<exec_facts> facts)
{
    auto it = watches_.find(tgid);
    bool reported =
        it != watches_.end() && (it->second.fflags & os::NOTE_EXEC) && ns >= it->second.since_ns;
    // A source that records nothing at the exec: what /proc shows is read
    // now, before the program can end and take its arguments with it.
    // Where its creation was seen, the table knows its place and start,
    // and the facts stand even if it ends while they are read; gone before
    // anything could be read, it is still reported (as unreadable) there.
    if (!facts && reported) {
        known_creation known = {};
        known.stands_if_gone = true;
        bool seen = table_.last_known(tgid, &known.record);
        facts = read_exec_facts(proc_, tgid, ns, wanted_, seen ? &known : nullptr);
        if (facts && !seen) {
            int64_t start_us = us_from_timeval(facts->record.ki_start);
            if (table_.start(tgid, start_us, &start_us))
                facts->record.ki_start = timeval_from_us(start_us);
        }
    }
    // The kernel programs record the control group's id; the group's path
    // is had from it while the group is there.
    if (facts && reported && wanted_.cgroup && !facts->cgroup_ok && facts->cgroup_id) {
        if (std::optional<std::string> path = cgroups_.path_of(facts->cgroup_id)) {
            facts->cgroup = std::move(*path);
            facts->cgroup_ok = true;
        }
    }
    if (facts)
        table_.remember(facts->record);
    else
        table_.exec(tgid, ns);
    if (!reported)
        return;
    post(it->second.serial, os::EVFILT_PROC, static_cast<uintptr_t>(tgid), os::NOTE_EXEC, 0,
         std::move(facts));
}

void tracker::on_uid(int tgid, uint32_t euid)
{
    table_.uid(tgid, euid);
}

void tracker::on_exit(int tgid, int status, int64_t ns)
{
    auto it = watches_.find(tgid);
    if (it != watches_.end() && ns >= it->second.since_ns) {
        if (it->second.fflags & os::NOTE_EXIT)
            post(it->second.serial, os::EVFILT_PROC, static_cast<uintptr_t>(tgid), os::NOTE_EXIT,
                 status, nullptr);
        watches_.erase(it);
    }
    table_.exit(tgid, taken_ + pending_.size());
}

void tracker::on_thread_end(int tgid, bool leader, int status, int64_t ns)
{
    auto it = watches_.find(tgid);
    if (it == watches_.end()) {
        if (leader)
            table_.exit(tgid, taken_ + pending_.size());
        return;
    }
    // The process ends with its last thread. The leader's end alone is not
    // it: the leader may end first, and a thread that execs ends all others,
    // the leader among them, and carries on under the process's pid.
    if (--it->second.threads <= 0)
        on_exit(tgid, status, ns);
}

void tracker::on_lost(uint64_t count)
{
    if (count == 0)
        lost_unknown_ = true;
    lost_events_ += count;
}

// The tracking watch that pid's ancestry reaches, if any.
const tracker::watch_entry *
tracker::tracking_ancestor(int pid, const std::unordered_map<int, stat_fields> &processes) const
{
    for (size_t steps = 0; steps <= processes.size(); steps++) {
        auto up = processes.find(pid);
        if (up == processes.end() || up->second.ppid <= 0)
            return nullptr;
        pid = up->second.ppid;
        auto w = watches_.find(pid);
        if (w != watches_.end())
            return (w->second.fflags & os::NOTE_TRACK) ? &w->second : nullptr;
    }
    return nullptr;
}

// After lost events the watches may miss new processes and hold ended ones:
// drop the watches of processes that are gone, and watch every process whose
// ancestry reaches a tracking watch.
void tracker::resynchronise()
{
    table_.reseed(taken_ + pending_.size());
    std::unordered_map<int, stat_fields> processes;
    proc_.for_each_pid([this, &processes](int pid) {
        stat_fields st;
        if (proc_.read_stat(pid, &st))
            processes[pid] = st;
    });
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (processes.count(it->first))
            ++it;
        else
            it = watches_.erase(it);
    }
    int64_t now = monotonic_ns();
    for (const auto &[pid, st] : processes) {
        if (watches_.count(pid))
            continue;
        if (const watch_entry *w = tracking_ancestor(pid, processes)) {
            uint32_t fflags = w->fflags;
            if (tell_source_(pid, fflags) == 0)
                watches_[pid] =
                    watch_entry{fflags, now, next_serial_++, st.threads > 1 ? st.threads : 1};
        }
    }
}

void tracker::recover_from_loss()
{
    if (lost_events_ == 0 && !lost_unknown_)
        return;
    if (lost_unknown_)
        message("warning: the kernel dropped process events; "
                "re-reading the process table to keep following new processes");
    else
        message("warning: the kernel dropped %llu process events; "
                "re-reading the process table to keep following new processes",
                static_cast<unsigned long long>(lost_events_));
    lost_events_ = 0;
    lost_unknown_ = false;
    resynchronise();
}

} // namespace linux_layer
