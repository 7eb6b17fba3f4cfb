// The seam between forklog's logic and the operating system: every system
// operation and record the logic uses. The real implementation lives in
// src/platform/linux/, a scripted one in tests/; the build picks one at link
// time. No system header is included here, so no system type leaks through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace os {

// ---- Records -------------------------------------------------------------

struct timeval {
    int64_t tv_sec;
    int64_t tv_usec;
};

// Process states; a zombie has ended and waits to be reaped.
constexpr int SRUN = 2;
constexpr int SZOMB = 5;

// One process's record. The logic reads only these fields.
struct kinfo_proc {
    int32_t ki_pid;
    // The parent that created the process, where the platform saw it created
    // (it stays so after that parent has ended); otherwise the current
    // parent. 0 at the top of the process tree.
    int32_t ki_ppid;
    uint32_t ki_uid;     // effective user id
    timeval ki_start;    // on the clock of gettimeofday
    timeval ki_exectime; // its latest exec, where the platform knows it; else zero
    int ki_stat;
};

// Longest path the platform hands out, terminating NUL included.
constexpr size_t PATH_SIZE = 4096;

struct kinfo_file {
    char kf_path[PATH_SIZE];
};

struct passwd {
    const char *pw_name;
};

// One change to, or one note from, the event queue.
struct kevent {
    uintptr_t ident; // a pid (process filter) or a signal number
    int16_t filter;  // 0 marks a change to pass over
    uint16_t flags;
    uint32_t fflags;
    int64_t data; // exit notes: the wait status
};

constexpr int16_t EVFILT_PROC = -5;
constexpr int16_t EVFILT_SIGNAL = -6;
constexpr uint16_t EV_ADD = 0x0001;
constexpr uint32_t NOTE_EXIT = 0x80000000;
constexpr uint32_t NOTE_EXEC = 0x20000000;
constexpr uint32_t NOTE_TRACK = 0x00000001;
constexpr uint32_t NOTE_CHILD = 0x00000004;

// Signal numbers differ between systems; these hold the platform's own.
extern const int SIGNO_CHLD;
extern const int SIGNO_INT;
extern const int SIGNO_TSTP;
extern const int SIGNO_CONT;
extern const int SIGNO_HUP;

// ---- Kernel event queue ----------------------------------------------------

// What the queue will watch, said once before it is made: the whole system,
// or the tree of one process. A platform may have fewer ways to watch the
// whole system than to watch one process.
void kqueue_will_watch(bool whole_system);

int kqueue();

// Applies nchanges changes in order, stopping at the first failure (-1 with
// errno), then, when nevents > 0, blocks until at least one note is ready and
// returns the number of notes written to events; it waits as long as it takes.
int kevent(int kq, const struct kevent *changes, int nchanges, struct kevent *events, int nevents);

// ---- Process information ---------------------------------------------------

struct kvm_t;

constexpr int OPEN_READONLY = 0;
constexpr int KERN_PROC_ALL = 0;
constexpr int KERN_PROC_PID = 1;

// A handle on the running system's process information; null with errno set.
kvm_t *kvm_openfiles(const char *execfile, const char *corefile, const char *swapfile, int flags,
                     char *errbuf);

// KERN_PROC_ALL: every process; KERN_PROC_PID: arg's record first. Null on
// failure. The array stays valid until the next kvm_getprocs on kd.
kinfo_proc *kvm_getprocs(kvm_t *kd, int op, int arg, int *count);

// Null-terminated vectors of the process's arguments (at least one word) and
// environment (possibly empty); null on failure. Valid until the next call of
// either. Environment strings may be written to.
char **kvm_getargv(kvm_t *kd, const kinfo_proc *p, int nchr);
char **kvm_getenvv(kvm_t *kd, const kinfo_proc *p, int nchr);

// What the reports will ask of each process beyond its record and arguments,
// said once before any process is watched; a platform may record less.
void kvm_will_ask(bool environment, bool cgroup);

// The text of kd's last failure; never null.
const char *kvm_geterr(kvm_t *kd);

// The working directory of pid into *kif, *len its size in and out; 0 or -1.
int sysctl_proc_cwd(int pid, kinfo_file *kif, size_t *len);

// The full path of pid's executable, NUL-terminated, into buf of *len bytes; 0 or -1.
int sysctl_proc_pathname(int pid, char *buf, size_t *len);

// The control group pid was in at its exec, a path, NUL-terminated, into buf
// of *len bytes; 0 or -1 (ENOSYS on a system without control groups).
int process_cgroup(int pid, char *buf, size_t *len);

// The password entry of uid, or null.
passwd *getpwuid(uint32_t uid);

// The largest number of processes that can be alive at once.
int max_processes();

// ---- Process control, clock, signal names ----------------------------------

// The child's pid, 0 in the child, -1 with errno. A child started while the
// queue is open is held until a process watch for it has been registered.
int fork();
int execvp(const char *file, char *const argv[]);

constexpr int SIGNAL_IGNORE = 1;
// Sets the disposition of signo; the result is not needed.
void signal(int signo, int disposition);

constexpr int WAIT_NOHANG = 1;
constexpr int WAIT_UNTRACED = 2; // a child that stopped is reported too
int waitpid(int pid, int *status, int options);

// Readers of a wait status.
bool wifsignaled(int status);
int wtermsig(int status);
int wexitstatus(int status);
bool wifstopped(int status);
int wstopsig(int status);

// Whether pid is stopped now: a stop that waitpid reported may be over by the
// time it is read (the terminal's stop and fg reached the tool too).
bool process_stopped(int pid);
// Stops the tool as signo (a stop signal) stops a process, even while the
// tool ignores it; returns once the tool is continued.
void stop_as(int signo);
// Sends signo to pid; 0, or -1 with errno.
int kill(int pid, int signo);

// Wall-clock time.
int gettimeofday(timeval *tv);

// Short signal names, without "SIG", indexed by signal number below sys_nsig.
extern const char *const *const sys_signame;
extern const int sys_nsig;

// ---- Standard streams ---------------------------------------------------------

// Opens the null device on each of the standard input, output and error
// descriptors that is closed, so that no later descriptor takes its number.
void open_standard_descriptors();
// Whether the standard output was closed when the tool started.
bool standard_output_was_closed();

// Whether stream writes to a terminal.
bool stream_is_terminal(FILE *stream);

// ---- Output -------------------------------------------------------------------

// A stream over stream's file whose writes never hold the run up for long:
// what the file does not take at once waits in memory, up to a cap, and goes
// out as the file takes it. A write fails, errno set, once an earlier one
// could not be written. Null with errno when none can be made.
FILE *background_output(FILE *stream);
// Waits until everything written to stream, made by background_output, has
// reached its file, unless the tool is interrupted (SIGINT) meanwhile; with
// give_up true, for a moment at most. Returns the number of lines that have
// not reached it, or -1 with errno when a write failed.
long finish_output(FILE *stream, bool give_up);
// Reopens path for appending as the stream's file from the next line on,
// everything written to stream before going to the old file; stream was
// made by background_output. 0, or -1 with errno (the old file stays).
int reopen_output(FILE *stream, const char *path);

// ---- The system journal --------------------------------------------------------

// One field of a journal entry: "NAME=value", the value's bytes as they are.
struct journal_field {
    const char *data;
    size_t size;
};

// 0 when the system journal takes entries; else an errno (ENOSYS where this
// build has no journal).
int journal_open();
// Sends one entry of n fields, whatever its size; 0 or an errno.
int journal_send(const journal_field *fields, int n);
// Makes the standard error a stream into the journal, one entry per line at
// warning priority; 0 or an errno.
int journal_diagnostics();

// ---- Command-line scanning ---------------------------------------------------

// getopt that stops at the first word that is not an option and never
// reorders argv; writes its own diagnostic for bad use.
int getopt(int argc, char *const argv[], const char *optstring);
const char *getopt_optarg();
int getopt_optind();

} // namespace os
