// Reading files under /proc: one open per file, relative to one root descriptor.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/layer.h"

namespace linux_layer {

int proc_root()
{
    static const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

namespace {

int open_proc(int pid, const char *name)
{
    char path[64];
    snprintf(path, sizeof path, "%d/%s", pid, name);
    return openat(proc_root(), path, O_RDONLY | O_CLOEXEC);
}

} // namespace

ssize_t read_proc(int pid, const char *name, std::vector<char> &buf)
{
    int fd = open_proc(pid, name);
    if (fd == -1)
        return -1;
    if (buf.size() < 4096)
        buf.resize(4096);
    size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, buf.data() + used, buf.size() - used);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1) {
            int saved = errno;
            close(fd);
            errno = saved;
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

bool read_stat(int pid, stat_fields *out)
{
    static std::vector<char> buf;
    ssize_t n = read_proc(pid, "stat", buf);
    if (n <= 0) {
        if (n == 0)
            errno = ESRCH;
        return false;
    }
    // read_proc leaves room: it grows the buffer whenever it fills up.
    buf[static_cast<size_t>(n)] = '\0';
    // The command name in parentheses may hold any byte: the fields start
    // after the last ')'.
    const char *close_paren = strrchr(buf.data(), ')');
    if (!close_paren) {
        errno = EINVAL;
        return false;
    }
    char state;
    int ppid;
    unsigned long long start;
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime priority nice num_threads
    // itrealvalue starttime
    int got = sscanf(close_paren + 1,
                     " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                     &state, &ppid, &start);
    if (got != 3) {
        errno = EINVAL;
        return false;
    }
    out->state = state;
    out->ppid = ppid;
    out->start_ticks = start;
    return true;
}

} // namespace linux_layer
