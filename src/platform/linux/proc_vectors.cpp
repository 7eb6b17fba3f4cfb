// Argument and environment vectors from /proc/PID/cmdline and environ.
#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/linux/exec_facts.h"
#include "platform/linux/layer.h"
#include "platform/platform.h"

namespace {

struct vector_storage {
    std::vector<char> bytes;
    std::vector<char *> words;
};

vector_storage argv_storage;
vector_storage env_storage;

// Splits the first len NUL-separated strings of v.bytes into a
// null-terminated vector; a last string without its NUL still counts.
char **split(vector_storage &v, size_t len)
{
    v.bytes[len] = '\0';
    v.words.clear();
    try {
        for (size_t i = 0; i < len; i += strlen(v.bytes.data() + i) + 1)
            v.words.push_back(v.bytes.data() + i);
        v.words.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
    return v.words.data();
}

// Reads /proc/PID/NAME into v.bytes; the byte count, or -1 with errno.
ssize_t read_area(int pid, const char *name, vector_storage &v)
{
    ssize_t n;
    try {
        n = linux_layer::read_proc(pid, name, v.bytes);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    if (n == -1 && errno == ENOENT)
        errno = ESRCH;
    return n;
}

char **read_vector(int pid, const char *name, vector_storage &v, bool need_one)
{
    ssize_t n = read_area(pid, name, v);
    if (n == -1)
        return nullptr;
    // A process whose memory is gone shows no words; a live one has at least one.
    if (n == 0 && need_one) {
        errno = ESRCH;
        return nullptr;
    }
    return split(v, static_cast<size_t>(n));
}

// The words the kernel recorded at the exec being reported.
char **recorded_vector(const std::vector<char> &bytes, vector_storage &v)
{
    v.bytes.resize(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), v.bytes.begin());
    return split(v, bytes.size());
}

// An area larger than the kernel records: the kernel's start of it is the
// truth. /proc shows the whole area only when it begins with exactly those
// bytes (the process may have rewritten its area since, or be gone);
// otherwise the recorded start stands, its last word ending at the cut.
char **cut_vector(int pid, const char *name, const std::vector<char> &start, vector_storage &v,
                  const char *area)
{
    ssize_t n = read_area(pid, name, v);
    if (n >= 0 && static_cast<size_t>(n) >= start.size() &&
        std::equal(start.begin(), start.end(), v.bytes.begin()))
        return split(v, static_cast<size_t>(n));
    fprintf(stderr, "forklog: warning: the %s area of process %d was cut at %zu bytes\n", area,
            pid, start.size());
    return recorded_vector(start, v);
}

} // namespace

namespace os {

char **kvm_getargv(kvm_t *, const kinfo_proc *kp, int)
{
    const linux_layer::exec_facts *f = linux_layer::current_facts(kp->ki_pid);
    if (f && f->argv_ok && f->argv_cut)
        return cut_vector(kp->ki_pid, "cmdline", f->argv_bytes, argv_storage, "argument");
    if (f && f->argv_ok)
        return recorded_vector(f->argv_bytes, argv_storage);
    return read_vector(kp->ki_pid, "cmdline", argv_storage, true);
}

char **kvm_getenvv(kvm_t *, const kinfo_proc *kp, int)
{
    const linux_layer::exec_facts *f = linux_layer::current_facts(kp->ki_pid);
    if (f && f->env_ok && f->env_cut)
        return cut_vector(kp->ki_pid, "environ", f->env_bytes, env_storage, "environment");
    if (f && f->env_ok)
        return recorded_vector(f->env_bytes, env_storage);
    return read_vector(kp->ki_pid, "environ", env_storage, false);
}

} // namespace os
