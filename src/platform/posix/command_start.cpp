// Forking the command and holding it until it is watched.
#include "platform/posix/command_start.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace posix_layer {

void command_start::save_mask()
{
    if (saved_)
        return;
    sigprocmask(SIG_SETMASK, nullptr, &mask_);
    saved_ = true;
}

int command_start::fork(const standard_descriptors &standard)
{
    save_mask();
    // The child waits on a pipe; the pipe's end in the tool closes at
    // registration, or when the tool ends.
    int hold[2];
    if (pipe2(hold, O_CLOEXEC) == -1)
        return -1;
    pid_t pid = ::fork();
    if (pid == -1) {
        int saved = errno;
        close(hold[0]);
        close(hold[1]);
        errno = saved;
        return -1;
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &mask_, nullptr);
        standard.close_opened();
        close(hold[1]);
        char byte;
        while (read(hold[0], &byte, 1) == -1 && errno == EINTR) {
        }
        close(hold[0]);
        return 0;
    }
    close(hold[0]);
    held_pid_ = pid;
    hold_fd_ = hold[1];
    return pid;
}

void command_start::release(int pid)
{
    if (pid != held_pid_ || hold_fd_ < 0)
        return;
    close(hold_fd_);
    hold_fd_ = -1;
    held_pid_ = 0;
}

} // namespace posix_layer
