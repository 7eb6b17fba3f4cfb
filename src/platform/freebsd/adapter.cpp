// The seam's operations on FreeBSD, over the layer's objects, of which this
// file holds the one instance. Command-line scanning (options.cpp) and what
// every POSIX system does alike (platform/posix/) are defined apart.
//
// The kernel's own facilities answer almost every contract as it stands:
// kqueue watches processes and follows their children, libkvm and sysctl
// read what a process is now. The layer adds the creator of each child, so
// that an orphan keeps its place under the process that made it.
// The seam first: the system's headers define macros with the names of
// the seam's constants (EVFILT_PROC, NOTE_EXIT, SZOMB, KERN_PROC_ALL ...),
// so below those names are the system's, which must have the same values.
#include "platform/platform.h"
#include "platform/freebsd/process_records.h"
#include "platform/freebsd/process_watch.h"
#include "platform/posix/background_stream.h"
#include "platform/posix/command_start.h"
#include "platform/posix/standard_streams.h"

namespace seam {
constexpr int16_t evfilt_proc = os::EVFILT_PROC, evfilt_signal = os::EVFILT_SIGNAL;
constexpr uint16_t ev_add = os::EV_ADD;
constexpr uint32_t note_exit = os::NOTE_EXIT, note_exec = os::NOTE_EXEC,
                   note_track = os::NOTE_TRACK, note_child = os::NOTE_CHILD;
constexpr int srun = os::SRUN, szomb = os::SZOMB;
constexpr int kern_proc_all = os::KERN_PROC_ALL, kern_proc_pid = os::KERN_PROC_PID;
} // namespace seam

#include <sys/types.h>
#include <sys/event.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

static_assert(seam::evfilt_proc == EVFILT_PROC && seam::evfilt_signal == EVFILT_SIGNAL &&
                  seam::ev_add == EV_ADD,
              "the seam's filters are the system's");
static_assert(seam::note_exit == NOTE_EXIT && seam::note_exec == NOTE_EXEC &&
                  seam::note_track == NOTE_TRACK && seam::note_child == NOTE_CHILD,
              "the seam's notes are the system's");
static_assert(seam::srun == SRUN && seam::szomb == SZOMB, "process states are the system's own");
static_assert(seam::kern_proc_all == KERN_PROC_ALL && seam::kern_proc_pid == KERN_PROC_PID,
              "the process queries are the system's");
static_assert(os::PATH_SIZE >= PATH_MAX, "path buffers hold the system's longest path");

namespace os {
struct kvm_t {};
} // namespace os

namespace {

using namespace freebsd_layer;
using namespace posix_layer;

struct layer {
    process_watch watch;
    process_records records{[this](int pid) { return watch.creator(pid); }};
    command_start command;
    os::kvm_t kvm;
    int interrupts = -1; // a queue of its own that notes SIGINT for the output
    bool interrupted = false;
};

layer &the_layer()
{
    static layer instance;
    return instance;
}

// The event queue takes SIGINT as a note while it is ignored; a second
// queue notes it too, for a writer that waits on a full backlog.
bool interrupt_noted()
{
    layer &l = the_layer();
    if (l.interrupted || l.interrupts == -1)
        return l.interrupted;
    struct ::kevent note;
    const timespec now = {0, 0};
    l.interrupted = ::kevent(l.interrupts, nullptr, 0, &note, 1, &now) > 0;
    return l.interrupted;
}

// Starts the queue interrupt_noted reads.
void note_interrupts()
{
    layer &l = the_layer();
    l.interrupts = ::kqueue();
    if (l.interrupts == -1)
        return;
    struct ::kevent change;
    EV_SET(&change, SIGINT, EVFILT_SIGNAL, EV_ADD, 0, 0, nullptr);
    if (::kevent(l.interrupts, &change, 1, nullptr, 0, nullptr) == -1) {
        close(l.interrupts);
        l.interrupts = -1;
    }
}

} // namespace

namespace os {

// ---- Kernel event queue ----------------------------------------------------

void kqueue_will_watch(bool) {}

int kqueue()
{
    layer &l = the_layer();
    l.command.save_mask();
    return l.watch.open();
}

int kevent(int, const struct kevent *changes, int nchanges, struct kevent *events, int nevents)
{
    layer &l = the_layer();
    for (int i = 0; i < nchanges; i++) {
        if (int e = l.watch.apply(changes[i])) {
            errno = e;
            return -1;
        }
        if (changes[i].filter == EVFILT_PROC)
            l.command.release(static_cast<int>(changes[i].ident));
    }
    if (nevents <= 0)
        return 0;
    return l.watch.wait(events, nevents);
}

// ---- Process information ---------------------------------------------------

kvm_t *kvm_openfiles(const char *, const char *, const char *, int, char *)
{
    layer &l = the_layer();
    return l.records.open() ? &l.kvm : nullptr;
}

kinfo_proc *kvm_getprocs(kvm_t *, int op, int arg, int *count)
{
    layer &l = the_layer();
    if (op == KERN_PROC_ALL)
        return l.records.all(count);
    *count = 1;
    return l.records.one(arg);
}

char **kvm_getargv(kvm_t *, const kinfo_proc *kp, int)
{
    return the_layer().records.argv(kp);
}

char **kvm_getenvv(kvm_t *, const kinfo_proc *kp, int)
{
    return the_layer().records.envv(kp);
}

void kvm_will_ask(bool, bool) {}

// FreeBSD has no control groups.
int process_cgroup(int, char *, size_t *)
{
    errno = ENOSYS;
    return -1;
}

const char *kvm_geterr(kvm_t *)
{
    return the_layer().records.error();
}

int sysctl_proc_cwd(int pid, kinfo_file *kif, size_t *len)
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_CWD, pid};
    struct ::kinfo_file file;
    size_t size = sizeof file;
    if (*len < sizeof *kif || sysctl(mib, 4, &file, &size, nullptr, 0) != 0)
        return -1;
    strlcpy(kif->kf_path, file.kf_path, sizeof kif->kf_path);
    return 0;
}

int sysctl_proc_pathname(int pid, char *buf, size_t *len)
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, pid};
    return sysctl(mib, 4, buf, len, nullptr, 0) == 0 ? 0 : -1;
}

int max_processes()
{
    static const int limit = [] {
        int n = 0;
        size_t len = sizeof n;
        if (sysctlbyname("kern.maxproc", &n, &len, nullptr, 0) != 0 || n <= 0)
            n = 99999; // the largest pid the system hands out
        return n;
    }();
    return limit;
}

// ---- Process control, clock, signal names ----------------------------------

int fork()
{
    return the_layer().command.fork(the_standard_descriptors());
}

bool process_stopped(int pid)
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    struct ::kinfo_proc kp;
    size_t len = sizeof kp;
    return sysctl(mib, 4, &kp, &len, nullptr, 0) == 0 && len >= sizeof kp && kp.ki_stat == SSTOP;
}

int waitpid(int pid, int *status, int options)
{
    int flags = (options & WAIT_NOHANG ? WNOHANG : 0) | (options & WAIT_UNTRACED ? WUNTRACED : 0);
    return ::waitpid(pid, status, flags);
}

const char *const *const sys_signame = ::sys_signame;
const int sys_nsig = ::sys_nsig;

// ---- Output -------------------------------------------------------------------

FILE *background_output(FILE *stream)
{
    note_interrupts();
    return background_stream(stream, interrupt_noted);
}

long finish_output(FILE *stream, bool give_up)
{
    return finish_background_stream(stream, give_up);
}

} // namespace os
