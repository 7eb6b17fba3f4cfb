// Reading files under /proc: one open per file, relative to one root descriptor.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/layer.h"

namespace linux_layer {

int proc_root()
{
    static const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

bool for_each_pid(const std::function<void(int)> &visit)
{
    int fd = openat(proc_root(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd == -1 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd != -1)
            close(fd);
        return false;
    }
    while (const struct dirent *entry = readdir(dir)) {
        char *end;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0)
            visit(static_cast<int>(pid));
    }
    closedir(dir);
    return true;
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

namespace {

// The next space-separated field as a number; moves p past it.
unsigned long long next_number(const char *&p)
{
    while (*p == ' ')
        p++;
    bool negative = *p == '-';
    if (negative)
        p++;
    unsigned long long n = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        n = n * 10 + static_cast<unsigned>(*p - '0');
    return negative ? 0 - n : n;
}

} // namespace

bool read_stat(int pid, stat_fields *out)
{
    static std::vector<char> buf;
    ssize_t n = read_proc(pid, "stat", buf);
    if (n <= 0) {
        errno = n == 0 || errno == ENOENT ? ESRCH : errno;
        return false;
    }
    // read_proc leaves room: it grows the buffer whenever it fills up.
    buf[static_cast<size_t>(n)] = '\0';
    // The command name in parentheses may hold any byte: the fields start
    // after the last ')'. Fields from 3 on: state ppid pgrp session tty_nr
    // tpgid flags minflt cminflt majflt cmajflt utime stime cutime cstime
    // priority nice num_threads itrealvalue starttime.
    const char *p = strrchr(buf.data(), ')');
    if (!p || p[1] != ' ' || !p[2]) {
        errno = EINVAL;
        return false;
    }
    p += 2;
    out->state = *p++;
    unsigned long long field[19];
    for (unsigned long long &f : field)
        f = next_number(p);
    out->ppid = static_cast<int>(field[0]);
    out->threads = static_cast<int>(field[16]);
    out->start_ticks = field[18];
    return true;
}

} // namespace linux_layer
