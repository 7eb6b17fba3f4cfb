// Asking the system for the facts the optional fields show.
#include "report/process_facts.h"

namespace {

// Scratch storage for the path queries; valid until the next query.
os::kinfo_file cwd_record;
char path_buffer[os::PATH_SIZE];
char cgroup_buffer[os::PATH_SIZE];

} // namespace

const char *user_name(uint32_t uid)
{
    const os::passwd *pw = os::getpwuid(uid);
    return pw ? pw->pw_name : nullptr;
}

const char *control_group(int pid)
{
    size_t len = sizeof cgroup_buffer;
    return os::process_cgroup(pid, cgroup_buffer, &len) == 0 ? cgroup_buffer : nullptr;
}

const char *working_directory(int pid)
{
    size_t len = sizeof cwd_record;
    return os::sysctl_proc_cwd(pid, &cwd_record, &len) == 0 ? cwd_record.kf_path : nullptr;
}

const char *executable_path(int pid)
{
    size_t len = sizeof path_buffer;
    return os::sysctl_proc_pathname(pid, path_buffer, &len) == 0 ? path_buffer : nullptr;
}

os::timeval exec_time(const os::kinfo_proc *kp)
{
    if (kp && (kp->ki_exectime.tv_sec != 0 || kp->ki_exectime.tv_usec != 0))
        return kp->ki_exectime;
    os::timeval now;
    os::gettimeofday(&now);
    return now;
}
