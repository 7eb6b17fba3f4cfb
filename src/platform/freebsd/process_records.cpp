// Reading process records, arguments and environments with libkvm.
#include "platform/freebsd/process_records.h"

#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/user.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <kvm.h>
#include <limits.h>
#include <paths.h>

namespace freebsd_layer {

process_records::~process_records()
{
    if (kd_)
        kvm_close(kd_);
}

bool process_records::open()
{
    // The null device as the memory file: the running system's processes
    // are read through sysctl, which needs no privilege for one's own.
    char errbuf[_POSIX2_LINE_MAX];
    kd_ = kvm_openfiles(nullptr, _PATH_DEVNULL, nullptr, O_RDONLY, errbuf);
    if (!kd_) {
        error_ = errbuf;
        if (errno == 0)
            errno = EPERM;
        return false;
    }
    return true;
}

void process_records::keep_error(const char *what)
{
    error_ = what;
}

bool process_records::convert(const char *records, int count)
{
    records_.clear();
    system_records_.clear();
    if (count <= 0)
        return true;
    // Walked by the size each record gives, which a newer kernel may grow.
    const auto *first = reinterpret_cast<const struct kinfo_proc *>(records);
    record_size_ = static_cast<size_t>(first->ki_structsize);
    if (record_size_ < sizeof(struct kinfo_proc)) {
        keep_error("the system's process records are smaller than this build's");
        errno = EINVAL;
        return false;
    }
    system_records_.assign(records, records + record_size_ * static_cast<size_t>(count));
    records_.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        const auto *kp = reinterpret_cast<const struct kinfo_proc *>(
            system_records_.data() + record_size_ * static_cast<size_t>(i));
        int creator = creator_(kp->ki_pid);
        records_[static_cast<size_t>(i)] = {
            kp->ki_pid, creator ? creator : kp->ki_ppid,
            kp->ki_uid, {kp->ki_start.tv_sec, kp->ki_start.tv_usec},
            {0, 0},     kp->ki_stat,
        };
    }
    return true;
}

os::kinfo_proc *process_records::all(int *count)
{
    // One record per process, not one per thread.
    struct kinfo_proc *kp = kvm_getprocs(kd_, KERN_PROC_PROC, 0, count);
    if (!kp) {
        keep_error(kvm_geterr(kd_));
        return nullptr;
    }
    if (!convert(reinterpret_cast<const char *>(kp), *count))
        return nullptr;
    return records_.data();
}

os::kinfo_proc *process_records::one(int pid)
{
    int count = 0;
    struct kinfo_proc *kp = kvm_getprocs(kd_, KERN_PROC_PID, pid, &count);
    if (!kp) {
        keep_error(kvm_geterr(kd_));
        return nullptr;
    }
    if (count < 1) {
        keep_error(strerror(ESRCH));
        errno = ESRCH;
        return nullptr;
    }
    if (!convert(reinterpret_cast<const char *>(kp), 1))
        return nullptr;
    return records_.data();
}

const struct kinfo_proc *process_records::system_record(const os::kinfo_proc *kp)
{
    if (kp >= records_.data() && kp < records_.data() + records_.size()) {
        size_t i = static_cast<size_t>(kp - records_.data());
        return reinterpret_cast<const struct kinfo_proc *>(system_records_.data() +
                                                           record_size_ * i);
    }
    // A record of an earlier answer: ask again, keeping the last answer
    // intact for its reader.
    int count = 0;
    struct kinfo_proc *p = kvm_getprocs(kd_, KERN_PROC_PID, kp->ki_pid, &count);
    if (!p || count < 1) {
        keep_error(p ? strerror(ESRCH) : kvm_geterr(kd_));
        return nullptr;
    }
    const auto *bytes = reinterpret_cast<const char *>(p);
    spare_.assign(bytes, bytes + static_cast<size_t>(p->ki_structsize));
    return reinterpret_cast<const struct kinfo_proc *>(spare_.data());
}

char **process_records::argv(const os::kinfo_proc *kp)
{
    const struct kinfo_proc *p = system_record(kp);
    if (!p)
        return nullptr;
    char **words = kvm_getargv(kd_, p, 0);
    if (!words)
        keep_error(kvm_geterr(kd_));
    return words;
}

char **process_records::envv(const os::kinfo_proc *kp)
{
    const struct kinfo_proc *p = system_record(kp);
    if (!p)
        return nullptr;
    char **strings = kvm_getenvv(kd_, p, 0);
    if (!strings)
        keep_error(kvm_geterr(kd_));
    return strings;
}

} // namespace freebsd_layer
