// The layer's own table of live processes, kept from the kernel's fork, exec,
// uid and exit events after one scan of /proc, so that most record queries
// cost no system call. /proc answers where the table cannot know: a process
// whose parent has ended (the kernel has given it a new one), or one that is
// not in the table at all. An ended process keeps answering until every note
// that came before its end has been handed out, so that the reports of its
// children still find it.
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
    uint32_t euid;
    int64_t start_us;
    bool euid_fresh; // false after an exec, which may run a set-user-id program
    bool ended;
    uint64_t ended_at; // the position in the notes at its end
};

std::unordered_map<int, known_process> table;
std::vector<int> ended;

// Records older than this were given to an earlier process with the same pid.
constexpr int64_t START_SLACK_US = 1000000;

void fill(int pid, const known_process &k, os::kinfo_proc *kp)
{
    kp->ki_pid = pid;
    kp->ki_ppid = k.ppid;
    kp->ki_uid = k.euid;
    kp->ki_stat = os::SRUN;
    kp->ki_start.tv_sec = k.start_us / 1000000;
    kp->ki_start.tv_usec = k.start_us % 1000000;
}

} // namespace

void seed_process_table()
{
    table.clear();
    ended.clear();
    for_each_pid([](int pid) {
        os::kinfo_proc kp;
        int threads;
        if (read_process(pid, &kp, &threads) && kp.ki_stat != os::SZOMB)
            remember_process(kp);
    });
}

void remember_process(const os::kinfo_proc &kp)
{
    int64_t start_us = kp.ki_start.tv_sec * 1000000 + kp.ki_start.tv_usec;
    table[kp.ki_pid] = known_process{kp.ki_ppid, kp.ki_uid, start_us, true, false, 0};
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
    if (k.ppid != 0 && !table.count(k.ppid))
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
    table[child_tgid] = known_process{parent_tgid, euid_known ? parent->second.euid : 0,
                                      wall_us_from_monotonic_ns(ns), euid_known, false, 0};
}

void known_exec(int tgid)
{
    auto it = table.find(tgid);
    if (it != table.end())
        it->second.euid_fresh = false;
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
    if (it == table.end())
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
        if (it == table.end() || !it->second.ended)
            continue; // gone already, or its pid is another process's now
        if (it->second.ended_at <= position)
            table.erase(it);
        else
            ended[kept++] = pid;
    }
    ended.resize(kept);
}

} // namespace linux_layer
