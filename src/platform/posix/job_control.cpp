#include "platform/posix/job_control.h"

#include <csignal>

namespace posix_layer {

void stop_self(int sig)
{
    struct sigaction dfl = {}, old = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, &old);
    sigset_t just, saved;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, &saved);
    // Delivered before raise returns: the tool stops here until continued.
    raise(sig);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    sigaction(sig, &old, nullptr);
}

} // namespace posix_layer
