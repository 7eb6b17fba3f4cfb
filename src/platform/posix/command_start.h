// Starting the command: it keeps the signal mask the tool was started with,
// and waits in fork until its watch is in place, so that its first exec is seen.
#pragma once

#include <csignal>

#include "platform/posix/standard_streams.h"

namespace posix_layer {

class command_start {
public:
    // Keeps the signal mask as it is now; the first call counts. Made before
    // the layer blocks any signal.
    void save_mask();

    // The child's pid, 0 in the child, -1 with errno. The child starts with
    // the saved mask and the standard descriptors the tool was given, and is
    // held until release.
    int fork(const standard_descriptors &standard);

    // Lets the held child go on, once pid is it.
    void release(int pid);

private:
    sigset_t mask_;
    bool saved_ = false;
    int held_pid_ = 0;
    int hold_fd_ = -1; // the tool's end of the pipe the child waits on
};

} // namespace posix_layer
