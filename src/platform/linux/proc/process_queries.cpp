// Answering the reports' queries from recorded facts or from /proc.
#include "platform/linux/proc/process_queries.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/linux/proc/proc_facts.h"
#include "platform/posix/message.h"

namespace linux_layer {

using namespace posix_layer;

namespace {

// Splits the first len NUL-separated strings of bytes (which has room for
// one more) into words, null-terminated; a last string without its NUL
// still counts. The words, or null with ENOMEM.
char **split_words(std::vector<char> &bytes, size_t len, std::vector<char *> &words)
{
    bytes[len] = '\0';
    words.clear();
    try {
        for (size_t i = 0; i < len; i += strlen(bytes.data() + i) + 1)
            words.push_back(bytes.data() + i);
        words.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
    return words.data();
}

// The words of bytes, copied into keep.
char **words_of(const std::vector<char> &bytes, std::vector<char> &keep, std::vector<char *> &words)
{
    try {
        keep.resize(bytes.size() + 1);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
    std::copy(bytes.begin(), bytes.end(), keep.begin());
    return split_words(keep, bytes.size(), words);
}

// The answer for what facts read at the exec lack: the process was gone.
template <typename T> T gone(T failure)
{
    errno = ESRCH;
    return failure;
}

// Reads PID/FILE into bytes; its size, or -1 with errno.
ssize_t read_area(const procfs &proc, int pid, const char *file, std::vector<char> &bytes)
{
    try {
        return proc.read(pid, file, bytes);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

} // namespace

char **process_queries::read_vector(int pid, const char *file, bool need_one, vector_storage &v)
{
    ssize_t n = read_area(proc_, pid, file, v.bytes);
    if (n == -1)
        return nullptr;
    // A process whose memory is gone shows no words; a live one has at least one.
    if (n == 0 && need_one) {
        errno = ESRCH;
        return nullptr;
    }
    return split_words(v.bytes, static_cast<size_t>(n), v.words);
}

// An area larger than the kernel records: the kernel's start of it is the
// truth. /proc shows the whole area only when it begins with exactly those
// bytes (the process may have rewritten its area since, or be gone);
// otherwise the recorded start stands, its last word ending at the cut.
char **process_queries::cut_vector(int pid, const char *file, const char *what,
                                   const std::vector<char> &start, vector_storage &v)
{
    ssize_t n = read_area(proc_, pid, file, v.bytes);
    char **words;
    // The recorded start is the cap, so the area was longer: /proc showing
    // no more than that was cut short too (the process ended mid-read).
    if (n >= 0 && static_cast<size_t>(n) > start.size() &&
        std::equal(start.begin(), start.end(), v.bytes.begin()) &&
        (words = split_words(v.bytes, static_cast<size_t>(n), v.words)))
        return words;
    message("warning: the %s area of process %d was cut at %zu bytes", what, pid, start.size());
    return words_of(start, v.bytes, v.words);
}

char **process_queries::argv(int pid, const exec_facts *f)
{
    if (f && f->argv_ok && f->argv_cut)
        return cut_vector(pid, "cmdline", "argument", f->argv_bytes, argv_);
    if (f && f->argv_ok)
        return words_of(f->argv_bytes, argv_.bytes, argv_.words);
    if (f && f->final)
        return gone<char **>(nullptr);
    return read_vector(pid, "cmdline", true, argv_);
}

char **process_queries::envv(int pid, const exec_facts *f)
{
    if (f && f->env_ok && f->env_cut)
        return cut_vector(pid, "environ", "environment", f->env_bytes, env_);
    if (f && f->env_ok)
        return words_of(f->env_bytes, env_.bytes, env_.words);
    if (f && f->final)
        return gone<char **>(nullptr);
    return read_vector(pid, "environ", false, env_);
}

namespace {

// A path the kernel recorded at the exec.
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

int process_queries::cwd(int pid, const exec_facts *f, char *buf, size_t size)
{
    if (f && f->cwd_ok)
        return recorded_path(f->cwd, buf, size);
    if (f && f->final)
        return gone(-1);
    return proc_.read_link(pid, "cwd", buf, size);
}

int process_queries::cgroup(int pid, const exec_facts *f, char *buf, size_t size)
{
    if (f && f->cgroup_ok)
        return recorded_path(f->cgroup, buf, size);
    if (f && f->final)
        return gone(-1);
    exec_facts now;
    if (!read_cgroup(proc_, pid, now))
        return -1;
    return recorded_path(now.cgroup, buf, size);
}

int process_queries::exe(int pid, const exec_facts *f, char *buf, size_t size)
{
    if (f && f->exe_ok)
        return recorded_path(f->exe, buf, size);
    if (f && f->final)
        return gone(-1);
    return proc_.read_link(pid, "exe", buf, size);
}

} // namespace linux_layer
