// The watched processes and the notes waiting to be read, fed by an event
// source. Notes for one watch that are not yet read merge into one, but for
// an end after an exec, and unless the source records each exec's facts:
// then every event is a note of its own.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unistd.h>
#include <unordered_map>

#include "platform/linux/exec_facts.h"
#include "platform/linux/layer.h"
#include "platform/linux/watch_table.h"
#include "platform/platform.h"

namespace linux_layer {

namespace {

struct watch {
    uint32_t fflags;
    int64_t since_ns; // events before this are not the watch's
    uint64_t serial;  // tells a pid's successive watches apart
    int threads;      // live threads, for sources that report each thread's end
};

std::unordered_map<int, watch> watches;
uint64_t next_serial = 1;

// Notes in the order they happened; a key finds a note that is not yet read.
std::deque<struct os::kevent> pending;
std::deque<uint64_t> pending_keys;
std::deque<std::shared_ptr<exec_facts>> pending_facts;
// The facts of the notes handed out in the batch being reported.
std::unordered_map<int, std::shared_ptr<exec_facts>> batch_facts;
// Whether notes of one watch merge; a source that records the facts of each
// exec hands out every event as a note of its own.
bool merging = true;
uint64_t next_unmerged_key = uint64_t{1} << 62;
std::unordered_map<uint64_t, size_t> pending_at; // key -> absolute position
size_t taken = 0;                                 // notes handed out so far

size_t held_bytes = 0; // by the notes not yet read

// What one note holds in memory, its facts included.
size_t cost(const exec_facts *facts)
{
    size_t bytes = sizeof(struct os::kevent) + 64; // the note and its keys
    if (facts)
        bytes += sizeof *facts + facts->argv_bytes.size() + facts->env_bytes.size() +
                 facts->exe.size() + facts->cwd.size();
    return bytes;
}

uint64_t lost_events = 0;
bool lost_unknown = false;

constexpr uint64_t SIGNAL_KEY = uint64_t{1} << 63;

void post(uint64_t key, int16_t filter, uintptr_t ident, uint32_t fflags, int64_t data,
          std::shared_ptr<exec_facts> facts = nullptr)
{
    if (!merging && filter == os::EVFILT_PROC)
        key = next_unmerged_key++;
    auto it = pending_at.find(key);
    // An end does not swallow an exec that is still to be read: the exec
    // keeps its own note, so that it is still reported.
    if (it != pending_at.end() && (fflags & os::NOTE_EXIT) &&
        (pending[it->second - taken].fflags & os::NOTE_EXEC)) {
        pending_at.erase(it);
        key = next_unmerged_key++;
        it = pending_at.end();
    }
    if (it != pending_at.end()) {
        struct os::kevent &note = pending[it->second - taken];
        note.fflags |= fflags;
        if (fflags & os::NOTE_EXIT)
            note.data = data;
        return;
    }
    struct os::kevent note = {};
    note.ident = ident;
    note.filter = filter;
    note.fflags = fflags;
    note.data = data;
    pending_at[key] = taken + pending.size();
    held_bytes += cost(facts.get());
    pending.push_back(note);
    pending_keys.push_back(key);
    pending_facts.push_back(std::move(facts));
}

} // namespace

int add_process_watch(int pid, uint32_t fflags)
{
    os::kinfo_proc kp;
    int threads;
    if (pid <= 0 || !read_process(pid, &kp, &threads) || !is_process(pid))
        return ESRCH;
    if (kp.ki_stat == os::SZOMB && !(fflags & os::NOTE_EXIT))
        return ESRCH;
    auto it = watches.find(pid);
    if (it != watches.end()) {
        it->second.fflags = fflags;
    } else {
        watches[pid] = watch{fflags, monotonic_ns(), next_serial++, threads > 1 ? threads : 1};
    }
    source_watch(pid, fflags);
    release_held_child(pid);
    return 0;
}

void reset_watch_table()
{
    watches.clear();
    pending.clear();
    pending_keys.clear();
    pending_facts.clear();
    batch_facts.clear();
    held_bytes = 0;
    merging = true;
    pending_at.clear();
    taken = 0;
    lost_events = 0;
    lost_unknown = false;
}

void post_signal(int signo)
{
    post(SIGNAL_KEY | static_cast<uint64_t>(signo), os::EVFILT_SIGNAL,
         static_cast<uintptr_t>(signo), 0, 0);
}

bool notes_pending()
{
    return !pending.empty();
}

bool notes_over_cap()
{
    return held_bytes > HELD_NOTES_CAP;
}

int take_notes(struct os::kevent *events, int nevents)
{
    // The batch before this one has been reported: its facts are done with.
    batch_facts.clear();
    int n = 0;
    while (n < nevents && !pending.empty()) {
        const struct os::kevent &note = pending.front();
        int pid = static_cast<int>(note.ident);
        // One note per process in a batch, so that a process's facts are
        // those of the note being reported.
        if (note.filter == os::EVFILT_PROC) {
            if (batch_facts.count(pid))
                break;
            batch_facts[pid] = pending_facts.front();
        }
        events[n++] = note;
        held_bytes -= cost(pending_facts.front().get());
        pending_at.erase(pending_keys.front());
        pending.pop_front();
        pending_keys.pop_front();
        pending_facts.pop_front();
        taken++;
    }
    // Notes handed out before this batch have been reported.
    forget_ended(taken - static_cast<uint64_t>(n));
    return n;
}

const exec_facts *current_facts(int pid)
{
    auto it = batch_facts.find(pid);
    return it == batch_facts.end() ? nullptr : it->second.get();
}

void set_note_merging(bool merge)
{
    merging = merge;
}

void on_fork(int parent_tgid, int child_tgid, int64_t ns)
{
    known_fork(parent_tgid, child_tgid, ns);
    auto parent = watches.find(parent_tgid);
    if (parent == watches.end() || !(parent->second.fflags & os::NOTE_TRACK) ||
        ns < parent->second.since_ns)
        return;
    // The child is watched from its creation, as its parent is.
    watches[child_tgid] = watch{parent->second.fflags, ns, next_serial++, 1};
}

void on_thread(int tgid)
{
    auto it = watches.find(tgid);
    if (it != watches.end())
        it->second.threads++;
}

void on_exec(int tgid, int64_t ns)
{
    known_exec(tgid, ns);
    auto it = watches.find(tgid);
    if (it == watches.end() || !(it->second.fflags & os::NOTE_EXEC) || ns < it->second.since_ns)
        return;
    post(it->second.serial, os::EVFILT_PROC, static_cast<uintptr_t>(tgid), os::NOTE_EXEC, 0);
}

void on_exec_facts(int tgid, int64_t ns, std::shared_ptr<exec_facts> facts)
{
    remember_process(facts->record);
    auto it = watches.find(tgid);
    if (it == watches.end() || !(it->second.fflags & os::NOTE_EXEC) || ns < it->second.since_ns)
        return;
    post(it->second.serial, os::EVFILT_PROC, static_cast<uintptr_t>(tgid), os::NOTE_EXEC, 0,
         std::move(facts));
}

void on_uid(int tgid, uint32_t euid)
{
    known_uid(tgid, euid);
}

void on_exit(int tgid, int status, int64_t ns)
{
    auto it = watches.find(tgid);
    if (it != watches.end() && ns >= it->second.since_ns) {
        if (it->second.fflags & os::NOTE_EXIT)
            post(it->second.serial, os::EVFILT_PROC, static_cast<uintptr_t>(tgid), os::NOTE_EXIT,
                 status);
        watches.erase(it);
    }
    known_exit(tgid, taken + pending.size());
}

void on_thread_end(int tgid, bool leader, int status, int64_t ns)
{
    auto it = watches.find(tgid);
    if (it == watches.end()) {
        if (leader)
            known_exit(tgid, taken + pending.size());
        return;
    }
    // The process ends with its last thread. The leader's end alone is not
    // it: the leader may end first, and a thread that execs ends all others,
    // the leader among them, and carries on under the process's pid.
    if (--it->second.threads <= 0)
        on_exit(tgid, status, ns);
}

void on_lost(uint64_t count)
{
    if (count == 0)
        lost_unknown = true;
    lost_events += count;
}

namespace {

// Every process /proc lists now, with its parent and thread count.
std::unordered_map<int, stat_fields> current_processes()
{
    std::unordered_map<int, stat_fields> processes;
    for_each_pid([&processes](int pid) {
        stat_fields st;
        if (read_stat(pid, &st))
            processes[pid] = st;
    });
    return processes;
}

// The tracking watch that pid's ancestry reaches, if any.
const watch *tracking_ancestor(int pid, const std::unordered_map<int, stat_fields> &processes)
{
    for (size_t steps = 0; steps <= processes.size(); steps++) {
        auto up = processes.find(pid);
        if (up == processes.end() || up->second.ppid <= 0)
            return nullptr;
        pid = up->second.ppid;
        auto w = watches.find(pid);
        if (w != watches.end())
            return (w->second.fflags & os::NOTE_TRACK) ? &w->second : nullptr;
    }
    return nullptr;
}

// After lost events the table may miss new processes and hold ended ones:
// drop the watches of processes that are gone, and watch every process whose
// ancestry reaches a tracking watch.
void resynchronise()
{
    seed_process_table();
    std::unordered_map<int, stat_fields> processes = current_processes();
    for (auto it = watches.begin(); it != watches.end();) {
        if (processes.count(it->first)) {
            ++it;
        } else {
            it = watches.erase(it);
        }
    }
    int64_t now = monotonic_ns();
    for (const auto &[pid, st] : processes) {
        if (watches.count(pid))
            continue;
        if (const watch *w = tracking_ancestor(pid, processes)) {
            int threads = st.threads > 1 ? st.threads : 1;
            watches[pid] = watch{w->fflags, now, next_serial++, threads};
            source_watch(pid, w->fflags);
        }
    }
}

} // namespace

void recover_from_loss()
{
    if (lost_events == 0 && !lost_unknown)
        return;
    if (lost_unknown)
        fprintf(stderr, "forklog: warning: the kernel dropped process events; "
                        "re-reading the process table to keep following new processes\n");
    else
        fprintf(stderr, "forklog: warning: the kernel dropped %llu process events; "
                        "re-reading the process table to keep following new processes\n",
                static_cast<unsigned long long>(lost_events));
    lost_events = 0;
    lost_unknown = false;
    resynchronise();
}

} // namespace linux_layer
