// Reading a /proc tree: one descriptor on its root, files opened under it.
// Tests point it at a tree of fixture files.
#pragma once

#include <cstdint>
#include <functional>
#include <sys/types.h>
#include <vector>

#include "platform/linux/proc/proc_parse.h"
#include "platform/platform.h"

namespace linux_layer {

class procfs {
public:
    explicit procfs(const char *root = "/proc");
    ~procfs();
    procfs(const procfs &) = delete;
    procfs &operator=(const procfs &) = delete;

    // Whether the root could be opened; 0, or the errno that says why not.
    int open_error() const { return open_errno_; }

    // Calls visit with every pid listed now; false when the root cannot be read.
    bool for_each_pid(const std::function<void(int)> &visit) const;

    // Calls visit with every thread of pid; false when pid is gone.
    bool for_each_thread(int pid, const std::function<void(int)> &visit) const;

    // Reads PID/NAME whole into buf, growing it by doubling and leaving room
    // for one more byte; the byte count, or -1 with errno (ESRCH for a
    // process that is gone).
    ssize_t read(int pid, const char *name, std::vector<char> &buf) const;

    // Reads the link PID/NAME into buf, NUL-terminated; a target that does
    // not fit is a failure (ENAMETOOLONG), never a cut one. Its length, or -1.
    int read_link(int pid, const char *name, char *buf, size_t size) const;

    bool read_stat(int pid, stat_fields *out) const;

    // The effective user id: the owner of the PID directory, which unlike the
    // files in it stays the effective user for processes that are not dumpable.
    bool read_euid(int pid, uint32_t *euid) const;

    // pid's record with its start time from the clock ticks /proc counts,
    // and its number of threads; false with errno (ESRCH for a pid that is gone).
    bool read_process(int pid, os::kinfo_proc *kp, int *threads) const;

    // Whether pid is a process rather than a thread of another one.
    bool is_process(int pid) const;

private:
    int root_;
    int open_errno_;
    mutable std::vector<char> scratch_; // for the small files
};

} // namespace linux_layer
