// The kernel's event queue as the seam hands it out: changes and notes in
// the seam's shape, with what the kernel adds for tracked children kept by
// the layer (the creator of each child) or told once (a child it could not
// track).
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/platform.h"

namespace freebsd_layer {

class process_watch {
public:
    ~process_watch();

    // The queue's descriptor, or -1 with errno.
    int open();

    // Applies one change; 0 or an errno value. A watch without exit notes
    // refuses a process that has ended, reaped or not.
    int apply(const struct os::kevent &change);

    // Blocks until a note is ready; the number written to events, or -1.
    int wait(struct os::kevent *events, int nevents);

    // The process that created pid, where a note said so; 0 otherwise.
    int creator(int pid) const;

private:
    int kq_ = -1;
    std::unordered_map<int, int> creators_;
    uint64_t untracked_ = 0;
};

} // namespace freebsd_layer
