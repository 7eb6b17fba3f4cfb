// The layer's table of live processes. /proc answers where the table cannot
// know: a process that is not in the table at all, or one whose creator's
// pid now names another process.
//
// A process's parent in the table is the one that created it, as the fork
// event said; the kernel gives an orphan a new parent, but its place in the
// tree is under its creator. So an ended process stays in the table while a
// process it created lives, and answers queries as it was. It also keeps
// answering until every note that came before its end has been handed out,
// so that the reports of its children still find it.
#include "platform/linux/process_table.h"

#include <cstdlib>
#include <unordered_set>

#include "platform/linux/clocks.h"

namespace linux_layer {

namespace {

// Records older than this were given to an earlier process with the same pid.
constexpr int64_t START_SLACK_US = 1000000;

} // namespace

process_table::known_process *process_table::parent_of(const known_process &k)
{
    if (k.ppid == 0)
        return nullptr;
    auto it = table_.find(k.ppid);
    if (it == table_.end() || it->second.serial != k.parent_serial)
        return nullptr;
    return &it->second;
}

// One child fewer; an ended parent whose notes are all handed out goes once
// its last child has gone.
void process_table::release_parent(const known_process &k)
{
    known_process *parent = parent_of(k);
    if (!parent)
        return;
    if (--parent->children == 0 && parent->handed_out)
        erase(k.ppid);
}

void process_table::erase(int pid)
{
    auto it = table_.find(pid);
    if (it == table_.end())
        return;
    known_process gone = it->second;
    table_.erase(it);
    release_parent(gone);
}

// Links k to ppid as its parent, when the table holds ppid.
void process_table::link(known_process &k, int ppid)
{
    k.ppid = ppid;
    auto parent = table_.find(ppid);
    if (ppid == 0 || parent == table_.end())
        return;
    k.parent_serial = parent->second.serial;
    parent->second.children++;
}

// Puts a process at pid, replacing whatever was there, linked to ppid.
void process_table::insert(int pid, int ppid, uint32_t euid, int64_t start_us, bool euid_fresh)
{
    erase(pid);
    known_process k = {};
    k.serial = next_serial_++;
    k.euid = euid;
    k.start_us = start_us;
    k.euid_fresh = euid_fresh;
    link(k, ppid);
    table_[pid] = k;
}

std::vector<os::kinfo_proc> process_table::live_processes() const
{
    std::vector<os::kinfo_proc> live;
    proc_.for_each_pid([this, &live](int pid) {
        os::kinfo_proc kp;
        int threads;
        if (proc_.read_process(pid, &kp, &threads) && kp.ki_stat != os::SZOMB)
            live.push_back(kp);
    });
    return live;
}

void process_table::seed()
{
    table_.clear();
    ended_.clear();
    std::vector<os::kinfo_proc> live = live_processes();
    // Every process first, so that every link finds its parent in the table.
    for (const os::kinfo_proc &kp : live) {
        known_process k = {};
        k.serial = next_serial_++;
        k.euid = kp.ki_uid;
        k.start_us = us_from_timeval(kp.ki_start);
        k.euid_fresh = true;
        table_[kp.ki_pid] = k;
    }
    for (const os::kinfo_proc &kp : live)
        link(table_[kp.ki_pid], kp.ki_ppid);
}

void process_table::reseed(uint64_t position)
{
    std::vector<os::kinfo_proc> live = live_processes();
    std::unordered_set<int> alive;
    std::vector<const os::kinfo_proc *> added;
    for (const os::kinfo_proc &kp : live) {
        alive.insert(kp.ki_pid);
        auto it = table_.find(kp.ki_pid);
        int64_t start_us = us_from_timeval(kp.ki_start);
        if (it != table_.end() && !it->second.ended &&
            llabs(it->second.start_us - start_us) < START_SLACK_US)
            continue; // known: it keeps its creator
        added.push_back(&kp);
    }
    // What is known but gone ended while events were lost: it stays until
    // the notes before now are handed out, so that its children's reports
    // still find it.
    for (auto &[pid, k] : table_)
        if (!k.ended && !alive.count(pid))
            exit(pid, position);
    for (const os::kinfo_proc *kp : added)
        insert(kp->ki_pid, 0, kp->ki_uid, us_from_timeval(kp->ki_start), true);
    for (const os::kinfo_proc *kp : added)
        link(table_[kp->ki_pid], kp->ki_ppid);
}

void process_table::remember(os::kinfo_proc &kp)
{
    int64_t start_us = us_from_timeval(kp.ki_start);
    int64_t exec_us = us_from_timeval(kp.ki_exectime);
    auto it = table_.find(kp.ki_pid);
    if (it == table_.end() || it->second.ended ||
        llabs(it->second.start_us - start_us) >= START_SLACK_US) {
        insert(kp.ki_pid, kp.ki_ppid, kp.ki_uid, start_us, true);
        table_[kp.ki_pid].exec_us = exec_us;
        return;
    }
    // The same process: it keeps its creator while that link holds.
    known_process &k = it->second;
    k.euid = kp.ki_uid;
    k.euid_fresh = true;
    if (exec_us != 0)
        k.exec_us = exec_us;
    if (k.ppid == 0 || parent_of(k)) {
        kp.ki_ppid = k.ppid;
        return;
    }
    link(k, kp.ki_ppid);
}

bool process_table::start(int pid, int64_t near_us, int64_t *start_us) const
{
    auto it = table_.find(pid);
    if (it == table_.end() || llabs(it->second.start_us - near_us) >= START_SLACK_US)
        return false;
    *start_us = it->second.start_us;
    return true;
}

bool process_table::record(int pid, os::kinfo_proc *kp)
{
    auto it = table_.find(pid);
    if (it == table_.end())
        return false;
    known_process &k = it->second;
    if (k.ppid != 0 && !parent_of(k))
        return false;
    if (!k.euid_fresh && !k.ended) {
        if (!proc_.read_euid(pid, &k.euid))
            return false;
        k.euid_fresh = true;
    }
    fill(pid, k, kp);
    return true;
}

bool process_table::last_known(int pid, os::kinfo_proc *kp) const
{
    auto it = table_.find(pid);
    if (it == table_.end() || it->second.ended)
        return false;
    *kp = {};
    fill(pid, it->second, kp);
    return true;
}

void process_table::fill(int pid, const known_process &k, os::kinfo_proc *kp)
{
    kp->ki_pid = pid;
    kp->ki_ppid = k.ppid;
    kp->ki_uid = k.euid;
    kp->ki_stat = os::SRUN;
    kp->ki_start = timeval_from_us(k.start_us);
    kp->ki_exectime = timeval_from_us(k.exec_us);
}

void process_table::fork(int parent_tgid, int child_tgid, int64_t ns)
{
    auto parent = table_.find(parent_tgid);
    bool euid_known = parent != table_.end() && parent->second.euid_fresh;
    uint32_t euid = euid_known ? parent->second.euid : 0;
    insert(child_tgid, parent_tgid, euid, wall_us_from_monotonic_ns(ns), euid_known);
}

void process_table::exec(int tgid, int64_t ns)
{
    auto it = table_.find(tgid);
    if (it != table_.end()) {
        it->second.euid_fresh = false;
        it->second.exec_us = wall_us_from_monotonic_ns(ns);
    }
}

void process_table::uid(int tgid, uint32_t euid)
{
    auto it = table_.find(tgid);
    if (it != table_.end()) {
        it->second.euid = euid;
        it->second.euid_fresh = true;
    }
}

void process_table::exit(int tgid, uint64_t position)
{
    auto it = table_.find(tgid);
    if (it == table_.end() || it->second.ended)
        return;
    it->second.ended = true;
    it->second.ended_at = position;
    ended_.push_back(tgid);
}

void process_table::forget_ended(uint64_t position)
{
    size_t kept = 0;
    for (int pid : ended_) {
        auto it = table_.find(pid);
        if (it == table_.end() || !it->second.ended || it->second.handed_out)
            continue; // gone already, or its pid is another process's now
        if (it->second.ended_at > position) {
            ended_[kept++] = pid;
            continue;
        }
        it->second.handed_out = true;
        if (it->second.children == 0)
            erase(pid);
    }
    ended_.resize(kept);
}

} // namespace linux_layer
