// Reading an exec's facts from /proc.
#include "platform/linux/proc/proc_facts.h"

#include <string_view>

#include "platform/linux/clocks.h"
#include "platform/linux/proc/proc_parse.h"

namespace linux_layer {

bool read_cgroup(const procfs &proc, int pid, exec_facts &facts)
{
    std::vector<char> bytes;
    ssize_t n = proc.read(pid, "cgroup", bytes);
    if (n <= 0)
        return false;
    std::optional<std::string> path =
        parse_cgroup(std::string_view(bytes.data(), static_cast<size_t>(n)));
    if (!path)
        return false;
    facts.cgroup = std::move(*path);
    facts.cgroup_ok = true;
    return true;
}

std::shared_ptr<exec_facts> read_exec_facts(const procfs &proc, int pid, int64_t ns,
                                            const facts_wanted &wanted, const known_creation *known)
{
    auto f = std::make_shared<exec_facts>();
    f->final = true;
    // A process's memory (its areas and executable) goes first at its end,
    // its directory next, its record when it is reaped.
    ssize_t n = proc.read(pid, "cmdline", f->argv_bytes);
    f->argv_ok = n > 0;
    f->argv_bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (wanted.environment) {
        n = proc.read(pid, "environ", f->env_bytes);
        f->env_ok = n >= 0;
        f->env_bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    char path[os::PATH_SIZE];
    if (proc.read_link(pid, "exe", path, sizeof path) >= 0) {
        f->exe = path;
        f->exe_ok = true;
    }
    if (proc.read_link(pid, "cwd", path, sizeof path) >= 0) {
        f->cwd = path;
        f->cwd_ok = true;
    }
    if (wanted.cgroup)
        read_cgroup(proc, pid, *f);
    os::kinfo_proc &kp = f->record;
    if (known) {
        kp = known->record;
        kp.ki_stat = os::SRUN;
        if (!proc.read_euid(pid, &kp.ki_uid) && !known->stands_if_gone)
            return nullptr;
    } else {
        int threads;
        if (!proc.read_process(pid, &kp, &threads))
            return nullptr;
    }
    kp.ki_exectime = timeval_from_us(wall_us_from_monotonic_ns(ns));
    return f;
}

} // namespace linux_layer
