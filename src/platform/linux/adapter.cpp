// The seam's operations on Linux over the layer's objects, of which this
// file holds the one instance. Command-line scanning (options.cpp, shared
// with the tests) and what every POSIX system does alike (platform/posix/)
// are defined apart.
//
// The batch rule: kevent hands out at most one note per process in a batch,
// and the reports ask about a process while they report its note. So until
// the next kevent, the queries about a process whose note came with the
// facts of its exec are answered from those facts (the process as it was at
// that exec, however soon it ended), and the queries about any other process
// from the layer's process table or /proc.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/event_queue.h"
#include "platform/linux/proc/process_queries.h"
#include "platform/linux/proc/procfs.h"
#include "platform/linux/signal_names.h"
#include "platform/linux/tracker.h"
#include "platform/posix/background_stream.h"
#include "platform/posix/command_start.h"
#include "platform/posix/standard_streams.h"
#include "platform/platform.h"

static_assert(os::PATH_SIZE == PATH_MAX, "path buffers are sized by the system's limit");

namespace os {
struct kvm_t {
    std::string error;
};
} // namespace os

namespace {

using namespace linux_layer;
using namespace posix_layer;

struct layer {
    procfs proc;
    tracker notes{proc,
                  [this](int pid, uint32_t fflags) { return queue->source().watch(pid, fflags); }};
    std::unique_ptr<event_queue> queue;
    process_queries queries{proc};
    facts_wanted wanted;
    bool whole_system = true;
    command_start command;
    os::kvm_t kvm;
    std::vector<os::kinfo_proc> records; // the last kvm_getprocs answer
};

layer &the_layer()
{
    static layer instance;
    return instance;
}

// The facts that came with pid's note in the batch being reported.
const exec_facts *batch_facts(int pid)
{
    return the_layer().notes.batch_facts(pid);
}

int apply(const struct os::kevent &change)
{
    layer &l = the_layer();
    if (change.filter == 0)
        return 0;
    if (change.filter == os::EVFILT_PROC) {
        int pid = static_cast<int>(change.ident);
        int e = l.notes.watch(pid, change.fflags);
        if (e == 0)
            l.command.release(pid);
        return e;
    }
    if (change.filter == os::EVFILT_SIGNAL)
        return l.queue->watch_signal(static_cast<int>(change.ident));
    return EINVAL;
}

int fail(int e)
{
    the_layer().kvm.error = strerror(e);
    errno = e;
    return -1;
}

} // namespace

namespace os {

// ---- Kernel event queue ----------------------------------------------------

void kqueue_will_watch(bool whole_system)
{
    the_layer().whole_system = whole_system;
}

int kqueue()
{
    layer &l = the_layer();
    l.command.save_mask();
    if (l.queue) {
        errno = EBUSY;
        return -1;
    }
    std::unique_ptr<event_source> source = open_event_source(l.whole_system, l.proc);
    if (!source)
        return -1;
    source->want(l.wanted);
    bool merge = !source->records_facts();
    auto queue = std::make_unique<event_queue>(std::move(source), l.notes);
    if (!queue->usable()) {
        int e = errno;
        queue.reset();
        errno = e;
        return -1;
    }
    l.queue = std::move(queue);
    // After subscribing, so that every later change reaches the table.
    l.notes.start(merge);
    return l.queue->descriptor();
}

int kevent(int, const struct kevent *changes, int nchanges, struct kevent *events, int nevents)
{
    for (int i = 0; i < nchanges; i++) {
        if (int e = apply(changes[i])) {
            errno = e;
            return -1;
        }
    }
    if (nevents <= 0)
        return 0;
    return the_layer().queue->wait(events, nevents);
}

// ---- Process information ---------------------------------------------------

kvm_t *kvm_openfiles(const char *, const char *, const char *, int, char *)
{
    layer &l = the_layer();
    if (int e = l.proc.open_error()) {
        errno = e;
        return nullptr;
    }
    return &l.kvm;
}

kinfo_proc *kvm_getprocs(kvm_t *, int op, int arg, int *count)
{
    layer &l = the_layer();
    if (op == KERN_PROC_ALL) {
        if (!l.notes.all_records(l.records)) {
            fail(errno);
            return nullptr;
        }
        *count = static_cast<int>(l.records.size());
        return l.records.data();
    }
    l.records.resize(1);
    if (!l.notes.record(arg, &l.records[0])) {
        fail(errno);
        return nullptr;
    }
    *count = 1;
    return l.records.data();
}

char **kvm_getargv(kvm_t *, const kinfo_proc *kp, int)
{
    return the_layer().queries.argv(kp->ki_pid, batch_facts(kp->ki_pid));
}

char **kvm_getenvv(kvm_t *, const kinfo_proc *kp, int)
{
    return the_layer().queries.envv(kp->ki_pid, batch_facts(kp->ki_pid));
}

void kvm_will_ask(bool environment, bool cgroup)
{
    layer &l = the_layer();
    l.wanted.environment = environment;
    l.wanted.cgroup = cgroup;
    l.notes.want(l.wanted);
    if (l.queue)
        l.queue->source().want(l.wanted);
}

const char *kvm_geterr(kvm_t *kd)
{
    return kd->error.c_str();
}

int sysctl_proc_cwd(int pid, kinfo_file *kif, size_t *len)
{
    if (*len < sizeof *kif) {
        errno = ENOMEM;
        return -1;
    }
    return the_layer().queries.cwd(pid, batch_facts(pid), kif->kf_path, sizeof kif->kf_path) == -1
               ? -1
               : 0;
}

int process_cgroup(int pid, char *buf, size_t *len)
{
    int n = the_layer().queries.cgroup(pid, batch_facts(pid), buf, *len);
    if (n == -1)
        return -1;
    *len = static_cast<size_t>(n) + 1;
    return 0;
}

int sysctl_proc_pathname(int pid, char *buf, size_t *len)
{
    int n = the_layer().queries.exe(pid, batch_facts(pid), buf, *len);
    if (n == -1)
        return -1;
    *len = static_cast<size_t>(n) + 1;
    return 0;
}

int max_processes()
{
    static const int limit = [] {
        FILE *f = fopen("/proc/sys/kernel/pid_max", "re");
        int n = 0;
        if (f) {
            if (fscanf(f, "%d", &n) != 1)
                n = 0;
            fclose(f);
        }
        return n > 0 ? n : 4194304;
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
    stat_fields st;
    return the_layer().proc.read_stat(pid, &st) && (st.state == 'T' || st.state == 't');
}

int waitpid(int pid, int *status, int options)
{
    // A tracer has reaped the tool's children as they ended.
    layer &l = the_layer();
    if (l.queue && l.queue->reaper() && (options & WAIT_NOHANG))
        return l.queue->reaper()->reap(pid, status, options & WAIT_UNTRACED);
    int flags = (options & WAIT_NOHANG ? WNOHANG : 0) | (options & WAIT_UNTRACED ? WUNTRACED : 0);
    return ::waitpid(pid, status, flags);
}

const char *const *const sys_signame = linux_layer::signal_names();
const int sys_nsig = NSIG;

// ---- Output -------------------------------------------------------------------

namespace {

// SIGINT is blocked for the event queue, so it waits as pending.
bool interrupt_pending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1;
}

} // namespace

FILE *background_output(FILE *stream)
{
    return background_stream(stream, interrupt_pending);
}

long finish_output(FILE *stream, bool give_up)
{
    return finish_background_stream(stream, give_up);
}

} // namespace os
