// The layer's own table of live processes, kept from the kernel's fork, exec,
// uid and exit events after one scan of /proc, so that most record queries
// cost no system call. /proc answers where the table cannot know: a process
// that is not in the table at all, or one whose creator's pid now names
// another process.
//
// A process's parent in the table is the one that created it, as the fork
// event said; the kernel gives an orphan a new parent, but its place in the
// tree is under its creator. So an ended process stays in the table while a
// process it created lives, and answers queries as it was. It also keeps
// answering until every note that came before its end has been handed out,
// so that the reports of its children still find it.
#include <cerrno>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "platform/linux/layer.h"
#include "platform/platform.h"

namespace linux_layer {

namespace {

struct known_process {
    int ppid;
    uint64_t parent_serial; // the parent's serial when the link was made
    uint64_t serial;        // tells the successive processes of one pid apart
    uint32_t euid;
    int64_t start_us;
    int64_t exec_us; // its latest exec, 0 when not seen
    bool euid_fresh; // false after an exec, which may run a set-user-id program
    bool ended;
    bool handed_out; // ended, and every note before its end handed out
    uint64_t ended_at; // the position in the notes at its end
    int children;      // processes in the table linked to this one as their parent
};

std::unordered_map<int, known_process> table;
std::vector<int> ended;
uint64_t next_serial = 1;

// Records older than this were given to an earlier process with the same pid.
constexpr int64_t START_SLACK_US = 1000000;

// pid's parent entry, while it is still the process the link was made to.
known_process *parent_of(const known_process &k)
{
    if (k.ppid == 0)
        return nullptr;
    auto it = table.find(k.ppid);
    if (it == table.end() || it->second.serial != k.parent_serial)
        return nullptr;
    return &it->second;
}

void erase(int pid);

// One child fewer; an ended parent whose notes are all handed out goes once
// its last child has gone.
void release_parent(const known_process &k)
{
    known_process *parent = parent_of(k);
    if (!parent)
        return;
    if (--parent->children == 0 && parent->handed_out)
        erase(k.ppid);
}

void erase(int pid)
{
    auto it = table.find(pid);
    if (it == table.end())
        return;
    known_process gone = it->second;
    table.erase(it);
    release_parent(gone);
}

// Links k to ppid as its parent, when the table holds ppid.
void link(known_process &k, int ppid)
{
    k.ppid = ppid;
    auto parent = table.find(ppid);
    if (ppid == 0 || parent == table.end())
        return;
    k.parent_serial = parent->second.serial;
    parent->second.children++;
}

// Puts a process at pid, replacing whatever was there, linked to ppid.
void insert(int pid, int ppid, uint32_t euid, int64_t start_us, bool euid_fresh)
{
    erase(pid);
    known_process k = {};
    k.ppid = ppid;
    k.serial = next_serial++;
    k.euid = euid;
    k.start_us = start_us;
    k.euid_fresh = euid_fresh;
    link(k, ppid);
    table[pid] = k;
}

void fill(int pid, const known_process &k, os::kinfo_proc *kp)
{
    kp->ki_pid = pid;
    kp->ki_ppid = k.ppid;
    kp->ki_uid = k.euid;
    kp->ki_stat = os::SRUN;
    kp->ki_start = timeval_from_us(k.start_us);
    kp->ki_exectime = timeval_from_us(k.exec_us);
}

int64_t start_us_of(const os::kinfo_proc &kp)
{
    return kp.ki_start.tv_sec * 1000000 + kp.ki_start.tv_usec;
}

} // namespace

void seed_process_table()
{
    table.clear();
    ended.clear();
    std::vector<os::kinfo_proc> live;
    for_each_pid([&live](int pid) {
        os::kinfo_proc kp;
        int threads;
        if (read_process(pid, &kp, &threads) && kp.ki_stat != os::SZOMB)
            live.push_back(kp);
    });
    // Parents first, so that every link finds its parent in the table.
    for (const os::kinfo_proc &kp : live)
        table[kp.ki_pid] = known_process{0, 0, next_serial++, kp.ki_uid, start_us_of(kp), 0,
                                         true, false, false, 0, 0};
    for (const os::kinfo_proc &kp : live)
        link(table[kp.ki_pid], kp.ki_ppid);
}

void remember_process(os::kinfo_proc &kp)
{
    int64_t start_us = start_us_of(kp);
    auto it = table.find(kp.ki_pid);
    int64_t exec_us = kp.ki_exectime.tv_sec * 1000000 + kp.ki_exectime.tv_usec;
    if (it == table.end() || it->second.ended ||
        llabs(it->second.start_us - start_us) >= START_SLACK_US) {
        insert(kp.ki_pid, kp.ki_ppid, kp.ki_uid, start_us, true);
        table[kp.ki_pid].exec_us = exec_us;
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

bool known_start(int pid, int64_t near_us, int64_t *start_us)
{
    auto it = table.find(pid);
    if (it == table.end() || llabs(it->second.start_us - near_us) >= START_SLACK_US)
        return false;
    *start_us = it->second.start_us;
    return true;
}

bool known_record(int pid, os::kinfo_proc *kp)
{
    auto it = table.find(pid);
    if (it == table.end())
        return false;
    known_process &k = it->second;
    if (k.ppid != 0 && !parent_of(k))
        return false;
    if (!k.euid_fresh && !k.ended) {
        if (!read_euid(pid, &k.euid))
            return false;
        k.euid_fresh = true;
    }
    fill(pid, k, kp);
    return true;
}

void known_fork(int parent_tgid, int child_tgid, int64_t ns)
{
    auto parent = table.find(parent_tgid);
    bool euid_known = parent != table.end() && parent->second.euid_fresh;
    uint32_t euid = euid_known ? parent->second.euid : 0;
    insert(child_tgid, parent_tgid, euid, wall_us_from_monotonic_ns(ns), euid_known);
}

void known_exec(int tgid, int64_t ns)
{
    auto it = table.find(tgid);
    if (it != table.end()) {
        it->second.euid_fresh = false;
        it->second.exec_us = wall_us_from_monotonic_ns(ns);
    }
}

void known_uid(int tgid, uint32_t euid)
{
    auto it = table.find(tgid);
    if (it != table.end()) {
        it->second.euid = euid;
        it->second.euid_fresh = true;
    }
}

void known_exit(int tgid, uint64_t position)
{
    auto it = table.find(tgid);
    if (it == table.end() || it->second.ended)
        return;
    it->second.ended = true;
    it->second.ended_at = position;
    ended.push_back(tgid);
}

void forget_ended(uint64_t position)
{
    size_t kept = 0;
    for (int pid : ended) {
        auto it = table.find(pid);
        if (it == table.end() || !it->second.ended || it->second.handed_out)
            continue; // gone already, or its pid is another process's now
        if (it->second.ended_at > position) {
            ended[kept++] = pid;
            continue;
        }
        it->second.handed_out = true;
        if (it->second.children == 0)
            erase(pid);
    }
    ended.resize(kept);
}

} // namespace linux_layer
