// The seam's operations on Linux: every os:: function but command-line
// scanning (options.cpp, shared with the tests) is defined here, over the
// layer's objects, of which this file holds the one instance.
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
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/posix/command_start.h"
#include "platform/linux/event_queue.h"
#include "platform/posix/job_control.h"
#include "platform/posix/output_writer.h"
#include "platform/linux/process_queries.h"
#include "platform/linux/procfs.h"
#include "platform/linux/signal_names.h"
#include "platform/posix/standard_streams.h"
#include "platform/linux/tracker.h"
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
    tracker notes{proc, [this](int pid, uint32_t fflags) { return queue->source().watch(pid, fflags); }};
    std::unique_ptr<event_queue> queue;
    process_queries queries{proc};
    facts_wanted wanted;
    bool whole_system = true;
    command_start command;
    os::kvm_t kvm;
    std::vector<os::kinfo_proc> records; // the last kvm_getprocs answer
    os::passwd user = {};
    std::unordered_map<uint32_t, std::optional<std::string>> user_names; // by uid, for the run
    // Never freed: at the end its thread may still wait on an output that
    // is not read.
    output_writer *output = nullptr;
};

layer &the_layer()
{
    static layer instance;
    return instance;
}

// Apart from the layer, whose objects open descriptors: the closed standard
// descriptors are taken before anything else is opened.
standard_descriptors &standard()
{
    static standard_descriptors instance;
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

int kevent(int, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
           const void *)
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

void kvm_will_ask(bool environment)
{
    layer &l = the_layer();
    l.wanted.environment = environment;
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

int sysctl_proc_pathname(int pid, char *buf, size_t *len)
{
    int n = the_layer().queries.exe(pid, batch_facts(pid), buf, *len);
    if (n == -1)
        return -1;
    *len = static_cast<size_t>(n) + 1;
    return 0;
}

// Looked up once per user for the run: a busy machine's lines name the same
// few users, and the password database is a file read each time.
passwd *getpwuid(uint32_t uid)
{
    layer &l = the_layer();
    auto known = l.user_names.find(uid);
    if (known == l.user_names.end()) {
        const struct ::passwd *pw = ::getpwuid(uid);
        known = l.user_names.emplace(uid, pw ? std::optional<std::string>(pw->pw_name) : std::nullopt)
                    .first;
    }
    if (!known->second)
        return nullptr;
    l.user.pw_name = known->second->c_str();
    return &l.user;
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
    return the_layer().command.fork(standard());
}

int execvp(const char *file, char *const argv[])
{
    return ::execvp(file, argv);
}

void signal(int signo, int disposition)
{
    ::signal(signo, disposition == SIGNAL_IGNORE ? SIG_IGN : SIG_DFL);
}

int waitpid(int pid, int *status, int options)
{
    // A tracer has reaped the tool's children as they ended.
    layer &l = the_layer();
    if (l.queue && l.queue->source().reaps_children() && (options & WAIT_NOHANG))
        return l.queue->source().reap(pid, status, options & WAIT_UNTRACED);
    int flags = (options & WAIT_NOHANG ? WNOHANG : 0) | (options & WAIT_UNTRACED ? WUNTRACED : 0);
    return ::waitpid(pid, status, flags);
}

bool wifstopped(int status)
{
    return WIFSTOPPED(status);
}

int wstopsig(int status)
{
    return WSTOPSIG(status);
}

void stop_as(int signo)
{
    stop_self(signo);
}

int kill(int pid, int signo)
{
    return ::kill(pid, signo);
}

bool wifsignaled(int status)
{
    return WIFSIGNALED(status);
}

int wtermsig(int status)
{
    return WTERMSIG(status);
}

int wexitstatus(int status)
{
    return WEXITSTATUS(status);
}

int gettimeofday(timeval *tv)
{
    struct ::timeval now;
    int rc = ::gettimeofday(&now, nullptr);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_usec;
    return rc;
}

const int SIGNO_CHLD = SIGCHLD;
const int SIGNO_INT = SIGINT;
const int SIGNO_TSTP = SIGTSTP;
const int SIGNO_CONT = SIGCONT;
const char *const *const sys_signame = linux_layer::signal_names();
const int sys_nsig = NSIG;

// ---- Standard streams ---------------------------------------------------------

void open_standard_descriptors()
{
    standard().open_missing();
}

bool standard_output_was_closed()
{
    return standard().was_closed(1);
}

bool stream_is_terminal(FILE *stream)
{
    int fd = fileno(stream);
    return fd != -1 && isatty(fd);
}

// ---- Output -------------------------------------------------------------------

namespace {

ssize_t write_to_backlog(void *writer, const char *data, size_t size)
{
    return static_cast<output_writer *>(writer)->take(data, size);
}

// SIGINT is blocked for the event queue, so it waits as pending.
bool interrupt_pending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1;
}

} // namespace

FILE *background_output(FILE *stream)
{
    layer &l = the_layer();
    if (fflush(stream) != 0)
        return nullptr;
    l.output = new output_writer(fileno(stream), interrupt_pending);
    cookie_io_functions_t io = {};
    io.write = write_to_backlog;
    return fopencookie(l.output, "w", io);
}

long finish_output(FILE *stream, bool give_up)
{
    output_writer &writer = *the_layer().output;
    if (give_up)
        writer.give_up();
    if (fflush(stream) != 0)
        return -1;
    std::optional<std::chrono::milliseconds> limit;
    if (give_up)
        limit = INTERRUPTED_DRAIN;
    if (!writer.drain(limit) &&
        writer.failure() != 0) {
        errno = writer.failure();
        return -1;
    }
    return writer.unwritten_lines();
}

} // namespace os
