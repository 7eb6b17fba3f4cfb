// Reading files of a /proc tree relative to one root descriptor.
#include "platform/linux/proc/procfs.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/clocks.h"

namespace linux_layer {

procfs::procfs(const char *root)
    : root_(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC)), open_errno_(root_ == -1 ? errno : 0)
{
}

procfs::~procfs()
{
    if (root_ != -1)
        close(root_);
}

namespace {

// Calls visit with every pid listed in the folder name under root.
bool list_pids(int root, const char *name, const std::function<void(int)> &visit)
{
    int fd = openat(root, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd == -1 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd != -1)
            close(fd);
        return false;
    }
    while (const struct dirent *entry = readdir(dir))
        if (int pid = parse_pid_entry(entry->d_name))
            visit(pid);
    closedir(dir);
    return true;
}

} // namespace

bool procfs::for_each_pid(const std::function<void(int)> &visit) const
{
    return list_pids(root_, ".", visit);
}

bool procfs::for_each_thread(int pid, const std::function<void(int)> &visit) const
{
    char name[32];
    snprintf(name, sizeof name, "%d/task", pid);
    return list_pids(root_, name, visit);
}

namespace {

int gone_as_esrch(int e)
{
    return e == ENOENT ? ESRCH : e;
}

} // namespace

ssize_t procfs::read(int pid, const char *name, std::vector<char> &buf) const
{
    char path[64];
    snprintf(path, sizeof path, "%d/%s", pid, name);
    int fd = openat(root_, path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        errno = gone_as_esrch(errno);
        return -1;
    }
    if (buf.size() < 4096)
        buf.resize(4096);
    size_t used = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf.data() + used, buf.size() - used);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1) {
            int saved = errno;
            close(fd);
            errno = gone_as_esrch(saved);
            return -1;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
        if (used == buf.size())
            buf.resize(buf.size() * 2);
    }
    close(fd);
    return static_cast<ssize_t>(used);
}

int procfs::read_link(int pid, const char *name, char *buf, size_t size) const
{
    char path[64];
    snprintf(path, sizeof path, "%d/%s", pid, name);
    ssize_t n = readlinkat(root_, path, buf, size);
    if (n == -1) {
        errno = gone_as_esrch(errno);
        return -1;
    }
    if (static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}

bool procfs::read_stat(int pid, stat_fields *out) const
{
    ssize_t n = read(pid, "stat", scratch_);
    if (n == 0)
        errno = ESRCH;
    if (n <= 0)
        return false;
    if (!parse_stat(std::string_view(scratch_.data(), static_cast<size_t>(n)), out)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool procfs::read_euid(int pid, uint32_t *euid) const
{
    char name[16];
    snprintf(name, sizeof name, "%d", pid);
    struct stat st;
    if (fstatat(root_, name, &st, 0) == -1) {
        errno = gone_as_esrch(errno);
        return false;
    }
    *euid = st.st_uid;
    return true;
}

bool procfs::read_process(int pid, os::kinfo_proc *kp, int *threads) const
{
    stat_fields st;
    uint32_t euid;
    if (!read_stat(pid, &st) || !read_euid(pid, &euid))
        return false;
    *threads = st.threads;
    kp->ki_pid = pid;
    kp->ki_ppid = st.ppid;
    kp->ki_uid = euid;
    kp->ki_stat = (st.state == 'Z' || st.state == 'X') ? os::SZOMB : os::SRUN;
    kp->ki_start = timeval_from_us(wall_us_from_start_ticks(st.start_ticks));
    kp->ki_exectime = {};
    return true;
}

bool procfs::is_process(int pid) const
{
    ssize_t n = read(pid, "status", scratch_);
    return n > 0 && parse_tgid(std::string_view(scratch_.data(), static_cast<size_t>(n))) == pid;
}

} // namespace linux_layer
