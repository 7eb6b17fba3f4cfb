// Process records: one process, or every process, from /proc.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/exec_facts.h"
#include "platform/linux/layer.h"
#include "platform/platform.h"

namespace os {
struct kvm_t {
    std::string error;
};
} // namespace os

namespace {

os::kvm_t handle;
std::vector<os::kinfo_proc> records;

void fail(int e)
{
    handle.error = strerror(e);
    errno = e;
}

} // namespace

// The effective user id: the owner of the /proc/PID directory, which unlike
// the files in it stays the effective user for processes that are not dumpable.
bool linux_layer::read_euid(int pid, uint32_t *euid)
{
    char name[16];
    snprintf(name, sizeof name, "%d", pid);
    struct stat st;
    if (fstatat(linux_layer::proc_root(), name, &st, 0) == -1)
        return false;
    *euid = st.st_uid;
    return true;
}

bool linux_layer::read_process(int pid, os::kinfo_proc *kp, int *threads)
{
    linux_layer::stat_fields st;
    uint32_t euid;
    if (!linux_layer::read_stat(pid, &st) || !read_euid(pid, &euid)) {
        if (errno == ENOENT)
            errno = ESRCH;
        return false;
    }
    *threads = st.threads;
    kp->ki_pid = pid;
    kp->ki_ppid = st.ppid;
    kp->ki_uid = euid;
    kp->ki_stat = (st.state == 'Z' || st.state == 'X') ? os::SZOMB : os::SRUN;
    // The fork time the event source saw is exact; /proc counts clock ticks.
    int64_t start_us = linux_layer::wall_us_from_start_ticks(st.start_ticks);
    linux_layer::known_start(pid, start_us, &start_us);
    kp->ki_start = linux_layer::timeval_from_us(start_us);
    kp->ki_exectime = {};
    return true;
}

bool linux_layer::is_process(int pid)
{
    static std::vector<char> buf;
    ssize_t n = linux_layer::read_proc(pid, "status", buf);
    if (n <= 0)
        return false;
    buf[static_cast<size_t>(n)] = '\0';
    const char *t = strstr(buf.data(), "\nTgid:");
    return t && atoi(t + 6) == pid;
}

namespace {

bool read_record(int pid, os::kinfo_proc *kp)
{
    int threads;
    return linux_layer::read_process(pid, kp, &threads);
}

// One process: as its exec recorded it while that exec is being reported,
// else from the layer's table when it knows, else from /proc, whose answer
// the table then keeps.
bool query_record(int pid, os::kinfo_proc *kp)
{
    if (const linux_layer::exec_facts *f = linux_layer::current_facts(pid)) {
        *kp = f->record;
        return true;
    }
    if (linux_layer::known_record(pid, kp))
        return true;
    if (!read_record(pid, kp))
        return false;
    if (kp->ki_stat != os::SZOMB)
        linux_layer::remember_process(*kp);
    return true;
}

bool read_all(int *count)
{
    records.clear();
    bool listed = linux_layer::for_each_pid([](int pid) {
        os::kinfo_proc kp;
        if (read_record(pid, &kp)) // a process gone by now is left out
            records.push_back(kp);
    });
    *count = static_cast<int>(records.size());
    return listed;
}

} // namespace

namespace os {

kvm_t *kvm_openfiles(const char *, const char *, const char *, int, char *)
{
    if (linux_layer::proc_root() == -1)
        return nullptr;
    return &handle;
}

kinfo_proc *kvm_getprocs(kvm_t *, int op, int arg, int *count)
{
    if (op == KERN_PROC_ALL) {
        if (!read_all(count)) {
            fail(errno);
            return nullptr;
        }
        return records.data();
    }
    records.resize(1);
    if (!query_record(arg, &records[0])) {
        fail(errno);
        return nullptr;
    }
    *count = 1;
    return records.data();
}

void kvm_will_ask(bool environment)
{
    linux_layer::source_want_env(environment);
}

const char *kvm_geterr(kvm_t *kd)
{
    return kd->error.c_str();
}

} // namespace os
