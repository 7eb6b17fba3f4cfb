// A process's working directory and executable, the user database, limits.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include "platform/linux/exec_facts.h"
#include "platform/linux/layer.h"
#include "platform/platform.h"

static_assert(os::PATH_SIZE == PATH_MAX, "path buffers are sized by the system's limit");

namespace {

// Reads the link /proc/PID/NAME; a path that does not fit is a failure,
// never a cut one.
int read_link(int pid, const char *name, char *buf, size_t size)
{
    char path[64];
    snprintf(path, sizeof path, "%d/%s", pid, name);
    ssize_t n = readlinkat(linux_layer::proc_root(), path, buf, size);
    if (n == -1)
        return -1;
    if (static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}

// A path the kernel recorded at the exec being reported.
int recorded_path(const std::string &path, char *buf, size_t size)
{
    if (path.size() >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(buf, path.c_str(), path.size() + 1);
    return static_cast<int>(path.size());
}

} // namespace

namespace os {

int sysctl_proc_cwd(int pid, kinfo_file *kif, size_t *len)
{
    if (*len < sizeof *kif) {
        errno = ENOMEM;
        return -1;
    }
    const linux_layer::exec_facts *f = linux_layer::current_facts(pid);
    if (f && f->cwd_ok)
        return recorded_path(f->cwd, kif->kf_path, sizeof kif->kf_path) == -1 ? -1 : 0;
    return read_link(pid, "cwd", kif->kf_path, sizeof kif->kf_path) == -1 ? -1 : 0;
}

int sysctl_proc_pathname(int pid, char *buf, size_t *len)
{
    const linux_layer::exec_facts *f = linux_layer::current_facts(pid);
    int n = f && f->exe_ok ? recorded_path(f->exe, buf, *len) : read_link(pid, "exe", buf, *len);
    if (n == -1)
        return -1;
    *len = static_cast<size_t>(n) + 1;
    return 0;
}

passwd *getpwuid(uint32_t uid)
{
    static passwd entry;
    static std::string name;
    const struct ::passwd *pw = ::getpwuid(uid);
    if (!pw)
        return nullptr;
    name = pw->pw_name;
    entry.pw_name = name.c_str();
    return &entry;
}

int max_processes()
{
    static int limit = [] {
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

} // namespace os
