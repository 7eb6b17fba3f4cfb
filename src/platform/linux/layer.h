// What the files of the Linux layer share among themselves; nothing here is
// seen by the logic.
#pragma once

#include <csignal>
#include <functional>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "platform/platform.h"

namespace linux_layer {

// ---- /proc -------------------------------------------------------------------

// A descriptor on the /proc root, opened once.
int proc_root();

// Calls visit with every pid that /proc lists now; false when /proc cannot
// be read.
bool for_each_pid(const std::function<void(int)> &visit);

// Reads /proc/PID/NAME whole into buf, growing it by doubling; the byte
// count, or -1 with errno.
ssize_t read_proc(int pid, const char *name, std::vector<char> &buf);

struct stat_fields {
    int ppid;
    char state; // as /proc shows it: R, S, D, Z, X, ...
    int threads;
    unsigned long long start_ticks;
};

// The fields of /proc/PID/stat that the layer uses; false with errno.
bool read_stat(int pid, stat_fields *out);

}


namespace linux_layer {

// The record of process pid, and its number of threads; false with errno
// (ESRCH for a pid that is gone).
bool read_process(int pid, os::kinfo_proc *kp, int *threads);

// Whether pid is a process rather than a thread of another one.
bool is_process(int pid);

// The effective user id of pid; false with errno.
bool read_euid(int pid, uint32_t *euid);

// ---- The layer's table of live processes ---------------------------------------

// Fills the table from /proc, forgetting what it held.
void seed_process_table();
// Keeps kp's process in the table; where the table saw it created, kp's
// parent becomes that creator.
void remember_process(os::kinfo_proc &kp);
// pid's record as the table knows it; false when only /proc can tell.
bool known_record(int pid, os::kinfo_proc *kp);
// The exact start time of pid, when the table holds one close to near_us.
bool known_start(int pid, int64_t near_us, int64_t *start_us);
void known_fork(int parent_tgid, int child_tgid, int64_t ns);
void known_exec(int tgid, int64_t ns);
void known_uid(int tgid, uint32_t euid);
// The end of tgid, when position notes had been queued in all.
void known_exit(int tgid, uint64_t position);
// Forgets the ended processes whose notes are all handed out.
void forget_ended(uint64_t handed_out);

// ---- The pid namespace -------------------------------------------------------

// The inode number of the pid namespace the tool lives in; false when /proc
// cannot tell.
bool own_pid_namespace(uint32_t *inum);
bool in_initial_pid_namespace();

// ---- Clocks ------------------------------------------------------------------

int64_t monotonic_ns();
os::timeval timeval_from_us(int64_t us);
int64_t wall_us_from_monotonic_ns(int64_t ns);
int64_t wall_us_from_start_ticks(unsigned long long ticks);


// ---- Signals and the started command ------------------------------------------

// The signal mask the tool was started with, saved before the layer blocks
// any signal.
const sigset_t &original_mask();
void save_original_mask();

// Closes again, in the command's process, the standard descriptors that the
// tool found closed, so that the command starts with what the tool was given.
void close_opened_standard_descriptors();

// Lets a child held in fork go on to its exec once it is watched.
void release_held_child(int pid);

// ---- Kernel process events ----------------------------------------------------
// An event source reports what the kernel did; the watch table turns it into
// notes for the watched processes. Times are on the monotonic clock.

void on_fork(int parent_tgid, int child_tgid, int64_t ns);
void on_thread(int tgid);
void on_exec(int tgid, int64_t ns);
// A change of the effective user id.
void on_uid(int tgid, uint32_t euid);
// The end of a whole process, with its wait status.
void on_exit(int tgid, int status, int64_t ns);
// The end of one thread of tgid (its leader or another), for a source that
// reports threads; the process ends with its last thread.
void on_thread_end(int tgid, bool leader, int status, int64_t ns);
// count events were lost; 0 when the count is unknown.
void on_lost(uint64_t count);

// The netlink process-events connector: a descriptor to wait on (-1 with
// errno, as without the privilege), and a drain that reports every event
// that is ready without blocking.
int connector_open();
void connector_drain();

// The eBPF source: kernel programs on the fork, exec and exit tracepoints
// that record each exec's facts. Open gives a descriptor to wait on, or -1
// when the programs cannot be loaded here; the drain reads every record that
// is ready and says how many there were. Records wake no reader that is
// awake: it polls. Before it waits with no time-out it says so with sleep,
// which is refused (false) when records came meanwhile; the first record
// after that wakes it, and awake ends the sleep.
int bpf_source_open();
int bpf_source_drain();
bool bpf_source_sleep();
void bpf_source_awake();
void bpf_source_watch(int pid, uint32_t fflags);

// Tells the source in use that pid is watched with fflags.
void source_watch(int pid, uint32_t fflags);

} // namespace linux_layer
