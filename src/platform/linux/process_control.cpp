// Starting and reaping the command, wait statuses, the clock.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/layer.h"
#include "platform/platform.h"

namespace linux_layer {

namespace {
sigset_t started_mask;
bool mask_saved = false;
int held_pid = 0;
int hold_fd = -1;
} // namespace

void save_original_mask()
{
    if (mask_saved)
        return;
    sigprocmask(SIG_SETMASK, nullptr, &started_mask);
    mask_saved = true;
}

const sigset_t &original_mask()
{
    save_original_mask();
    return started_mask;
}

void release_held_child(int pid)
{
    if (pid != held_pid || hold_fd < 0)
        return;
    close(hold_fd);
    hold_fd = -1;
    held_pid = 0;
}

} // namespace linux_layer

namespace os {

int fork()
{
    using namespace linux_layer;
    // The child waits on a pipe until its watch is in place, so that its
    // first exec is seen; the pipe's end in the tool closes at registration,
    // or when the tool ends.
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
        sigprocmask(SIG_SETMASK, &original_mask(), nullptr);
        close_opened_standard_descriptors();
        close(hold[1]);
        char byte;
        while (read(hold[0], &byte, 1) == -1 && errno == EINTR) {
        }
        close(hold[0]);
        return 0;
    }
    close(hold[0]);
    held_pid = pid;
    hold_fd = hold[1];
    return pid;
}

int execvp(const char *file, char *const argv[])
{
    return ::execvp(file, argv);
}

void signal(int signo, int disposition)
{
    ::signal(signo, disposition == SIGNAL_IGNORE ? SIG_IGN : SIG_DFL);
}

int waitpid(int pid, int *status, int options)
{
    return ::waitpid(pid, status, options == WAIT_NOHANG ? WNOHANG : 0);
}

bool wifsignaled(int status)
{
    return WIFSIGNALED(status);
}

int wtermsig(int status)
{
    return WTERMSIG(status);
}

int wexitstatus(int status)
{
    return WEXITSTATUS(status);
}

int gettimeofday(timeval *tv)
{
    struct ::timeval now;
    int rc = ::gettimeofday(&now, nullptr);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_usec;
    return rc;
}

} // namespace os
