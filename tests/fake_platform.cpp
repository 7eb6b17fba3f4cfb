// The scripted kernel: implements the platform seam over fake::k.
#include "fake_platform.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

#include "procdb/pid_db.h"
#include "run/settings.h"

namespace fake {

kernel k;

void reset()
{
    k = kernel{};
    run_settings_reset();
    memset(pid_db, 0, sizeof pid_db);
    optind = 0;
}

process &add(int pid, int ppid, std::vector<std::string> argv)
{
    process &p = k.procs[pid];
    p = process{};
    p.pid = pid;
    p.ppid = ppid;
    p.argv = std::move(argv);
    return p;
}

struct os::kevent proc_note(int pid, uint32_t fflags, int status)
{
    struct os::kevent note = {};
    note.ident = static_cast<uintptr_t>(pid);
    note.filter = os::EVFILT_PROC;
    note.fflags = fflags;
    note.data = status;
    return note;
}

struct os::kevent signal_note(int signo)
{
    struct os::kevent note = {};
    note.ident = static_cast<uintptr_t>(signo);
    note.filter = os::EVFILT_SIGNAL;
    return note;
}

namespace {

// Storage that the seam's contracts say stays valid until the next call.
std::vector<os::kinfo_proc> records;
std::vector<std::vector<char>> words;
std::vector<char *> vector_out;
os::passwd passwd_out;
std::string passwd_name;
int kd_storage;

os::kinfo_proc record_of(const process &p)
{
    os::kinfo_proc kp = {};
    kp.ki_pid = p.pid;
    kp.ki_ppid = p.ppid;
    kp.ki_uid = p.uid;
    kp.ki_start = p.start;
    kp.ki_exectime = p.exec_time;
    kp.ki_stat = p.stat;
    return kp;
}

char **vector_of(const std::vector<std::string> &strings)
{
    words.clear();
    vector_out.clear();
    for (const std::string &s : strings)
        words.emplace_back(s.c_str(), s.c_str() + s.size() + 1);
    for (std::vector<char> &w : words)
        vector_out.push_back(w.data());
    vector_out.push_back(nullptr);
    return vector_out.data();
}

const process *find(int pid)
{
    auto it = k.procs.find(pid);
    return it == k.procs.end() ? nullptr : &it->second;
}

// Applies one change as the kernel would; an errno on failure.
int apply(const struct os::kevent &change)
{
    if (change.filter == 0)
        return 0;
    if (change.filter == os::EVFILT_PROC) {
        const process *p = find(static_cast<int>(change.ident));
        if (!p)
            return ESRCH;
        if (p->stat == os::SZOMB && !(change.fflags & os::NOTE_EXIT))
            return ESRCH;
    }
    k.watches.push_back(change);
    return 0;
}

int apply_changes(const struct os::kevent *changes, int n)
{
    k.queries.change_calls++;
    k.change_sizes.push_back(n);
    if (!k.change_errnos.empty()) {
        int e = k.change_errnos.front();
        k.change_errnos.pop_front();
        if (e) {
            errno = e;
            return -1;
        }
    }
    for (int i = 0; i < n; i++) {
        int e = apply(changes[i]);
        if (e) {
            errno = e;
            return -1;
        }
    }
    return 0;
}

int wait_for_notes(struct os::kevent *events, int nevents)
{
    k.queries.waits++;
    if (k.batches.empty()) {
        ADD_FAILURE() << "the logic waited for a note that the test did not script";
        events[0] = signal_note(os::SIGNO_INT);
        return 1;
    }
    if (k.before_wait)
        k.before_wait();
    std::vector<struct os::kevent> batch = k.batches.front();
    k.batches.pop_front();
    EXPECT_LE(static_cast<int>(batch.size()), nevents);
    for (size_t i = 0; i < batch.size(); i++)
        events[i] = batch[i];
    return static_cast<int>(batch.size());
}

const char *const signal_names[] = {
    "Signal 0", "HUP", "INT",  "QUIT", "ILL",    "TRAP", "ABRT",  "EMT",  "FPE",  "KILL", "BUS",
    "SEGV",     "SYS", "PIPE", "ALRM", "TERM",   "URG",  "STOP",  "TSTP", "CONT", "CHLD", "TTIN",
    "TTOU",     "IO",  "XCPU", "XFSZ", "VTALRM", "PROF", "WINCH", "INFO", "USR1", "USR2",
};

} // namespace
} // namespace fake

namespace os {

using fake::k;

const int SIGNO_CHLD = 20;
const int SIGNO_INT = 2;
const int SIGNO_TSTP = 18;
const int SIGNO_CONT = 19;
const int SIGNO_HUP = 1;
const char *const *const sys_signame = fake::signal_names;
const int sys_nsig = sizeof fake::signal_names / sizeof fake::signal_names[0];

void kqueue_will_watch(bool whole_system)
{
    k.will_watch_system = whole_system;
}

int kqueue()
{
    k.watch_told_at_kqueue = k.will_watch_system;
    if (k.kqueue_errno) {
        errno = k.kqueue_errno;
        return -1;
    }
    return 3;
}

int kevent(int, const struct kevent *changes, int nchanges, struct kevent *events, int nevents)
{
    if (nchanges > 0 && fake::apply_changes(changes, nchanges) == -1)
        return -1;
    if (nevents == 0)
        return 0;
    return fake::wait_for_notes(events, nevents);
}

kvm_t *kvm_openfiles(const char *, const char *, const char *, int, char *)
{
    if (k.kvm_open_errno) {
        errno = k.kvm_open_errno;
        return nullptr;
    }
    return reinterpret_cast<kvm_t *>(&fake::kd_storage);
}

kinfo_proc *kvm_getprocs(kvm_t *, int op, int arg, int *count)
{
    fake::records.clear();
    if (op == KERN_PROC_ALL) {
        k.queries.snapshot++;
        if (k.snapshot_fails)
            return nullptr;
        for (auto it = k.procs.begin(); it != k.procs.end();) {
            fake::records.push_back(fake::record_of(it->second));
            it = it->second.vanish_after_snapshot ? k.procs.erase(it) : std::next(it);
        }
        *count = static_cast<int>(fake::records.size());
        return fake::records.data();
    }
    k.queries.record++;
    fake::process *p = const_cast<fake::process *>(fake::find(arg));
    if (p && p->records_until_failure >= 0 && p->records_until_failure-- == 0)
        p->fail_record = true;
    if (!p || p->fail_record) {
        errno = ESRCH;
        return nullptr;
    }
    fake::records.push_back(fake::record_of(*p));
    *count = 1;
    return fake::records.data();
}

char **kvm_getargv(kvm_t *, const kinfo_proc *kp, int)
{
    k.queries.argv++;
    const fake::process *p = fake::find(kp->ki_pid);
    if (!p || p->fail_argv) {
        errno = ESRCH;
        return nullptr;
    }
    return fake::vector_of(p->argv);
}

char **kvm_getenvv(kvm_t *, const kinfo_proc *kp, int)
{
    k.queries.env++;
    const fake::process *p = fake::find(kp->ki_pid);
    if (!p || p->fail_env) {
        errno = ESRCH;
        return nullptr;
    }
    return fake::vector_of(p->env);
}

void kvm_will_ask(bool environment, bool cgroup)
{
    k.will_ask_env = environment;
    k.will_ask_cgroup = cgroup;
}

const char *kvm_geterr(kvm_t *)
{
    return k.kvm_error.c_str();
}

int sysctl_proc_cwd(int pid, kinfo_file *kif, size_t *len)
{
    k.queries.cwd++;
    const fake::process *p = fake::find(pid);
    if (!p || p->fail_cwd || p->cwd.size() + 1 > *len) {
        errno = ESRCH;
        return -1;
    }
    memcpy(kif->kf_path, p->cwd.c_str(), p->cwd.size() + 1);
    return 0;
}

int process_cgroup(int pid, char *buf, size_t *len)
{
    k.queries.cgroup++;
    const fake::process *p = fake::find(pid);
    if (!p || p->cgroup.empty() || p->cgroup.size() + 1 > *len) {
        errno = ESRCH;
        return -1;
    }
    memcpy(buf, p->cgroup.c_str(), p->cgroup.size() + 1);
    *len = p->cgroup.size() + 1;
    return 0;
}

int sysctl_proc_pathname(int pid, char *buf, size_t *len)
{
    k.queries.path++;
    const fake::process *p = fake::find(pid);
    if (!p || p->fail_path || p->exe.size() + 1 > *len) {
        errno = ESRCH;
        return -1;
    }
    memcpy(buf, p->exe.c_str(), p->exe.size() + 1);
    *len = p->exe.size() + 1;
    return 0;
}

passwd *getpwuid(uint32_t uid)
{
    k.queries.passwd++;
    auto it = k.users.find(uid);
    if (it == k.users.end())
        return nullptr;
    fake::passwd_name = it->second;
    fake::passwd_out.pw_name = fake::passwd_name.c_str();
    return &fake::passwd_out;
}

int max_processes()
{
    return k.max_processes;
}

int fork()
{
    if (k.fork_result == -1)
        errno = k.fork_errno;
    return k.fork_result;
}

int execvp(const char *file, char *const[])
{
    k.execvp_calls.emplace_back(file);
    errno = k.execvp_errno;
    return -1;
}

void signal(int signo, int disposition)
{
    k.signal_calls.emplace_back(signo, disposition);
}

int waitpid(int, int *status, int)
{
    if (k.ended_children.empty())
        return 0;
    auto [pid, st] = k.ended_children.front();
    k.ended_children.pop_front();
    *status = st;
    return pid;
}

bool wifsignaled(int status)
{
    return (status & 0x7f) != 0 && (status & 0x7f) != 0x7f && status != 0x13;
}

int wtermsig(int status)
{
    return status & 0x7f;
}

int wexitstatus(int status)
{
    return (status >> 8) & 0xff;
}

bool wifstopped(int status)
{
    return (status & 0xff) == 0x7f;
}

int wstopsig(int status)
{
    return (status >> 8) & 0xff;
}

bool process_stopped(int pid)
{
    return !k.running_again.count(pid);
}

void stop_as(int signo)
{
    k.stops.push_back(signo);
}

int kill(int pid, int signo)
{
    k.kills.emplace_back(pid, signo);
    return 0;
}

int gettimeofday(timeval *tv)
{
    *tv = k.clock;
    return 0;
}

} // namespace os

namespace os {

void open_standard_descriptors() {}
bool standard_output_was_closed()
{
    return fake::k.stdout_closed;
}

bool stream_is_terminal(FILE *)
{
    return fake::k.output_is_terminal;
}

FILE *background_output(FILE *stream)
{
    return stream;
}

long finish_output(FILE *stream, bool give_up)
{
    if (fflush(stream) != 0)
        return -1;
    return give_up ? fake::k.lines_left_at_interrupt : 0;
}

int reopen_output(FILE *stream, const char *path)
{
    fflush(stream);
    fake::k.reopened.push_back(path);
    return 0;
}

int journal_open()
{
    return fake::k.journal_open_errno;
}

int journal_send(const journal_field *fields, int n)
{
    if (fake::k.journal_sends_until_failure == 0)
        return fake::k.journal_send_errno;
    if (fake::k.journal_sends_until_failure > 0)
        fake::k.journal_sends_until_failure--;
    std::vector<std::string> entry;
    for (int i = 0; i < n; i++)
        entry.emplace_back(fields[i].data, fields[i].size);
    fake::k.journal.push_back(std::move(entry));
    return 0;
}

int journal_diagnostics()
{
    return 0;
}

} // namespace os
