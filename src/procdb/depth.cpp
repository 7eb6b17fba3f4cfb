// The ancestry walk: up the parent links, one query per generation.
#include "procdb/depth.h"

#include <cstdio>

#include "procdb/procdb_settings.h"

int process_depth(int pid)
{
    // Parent links may change between queries. A walk longer than the number
    // of processes that can be alive, or one that comes back to a pid it has
    // seen, is following a loop: give up on it. Seen pids are checked against
    // one remembered pid, renewed at every power of two (Brent), which finds
    // any loop without memory that grows with the walk.
    const long limit = os::max_processes();
    int remembered = 0;
    long stretch = 1;
    long since = 0;
    for (long depth = 0; depth <= limit; depth++) {
        int count;
        const os::kinfo_proc *kp =
            os::kvm_getprocs(procdb_settings.kd, os::KERN_PROC_PID, pid, &count);
        if (!kp) {
            fprintf(stderr, "forklog: kvm_getprocs: %s\n", os::kvm_geterr(procdb_settings.kd));
            return -1;
        }
        if (pid == procdb_settings.root_pid)
            return static_cast<int>(depth);
        int ppid = kp->ki_ppid;
        if (ppid == procdb_settings.root_pid)
            return static_cast<int>(depth + 1);
        // In whole-system scope every process at the top of the tree (pid 1
        // and the kernel's own) is a root of its own.
        if (ppid == 0)
            return whole_system_scope() ? static_cast<int>(depth) : -1;
        if (ppid == remembered)
            return -1;
        if (++since == stretch) {
            remembered = pid;
            stretch *= 2;
            since = 0;
        }
        pid = ppid;
    }
    return -1;
}
