// The seam's operations that are the same on every POSIX system: running a
// program, signals, wait statuses, the clock and terminals.
#include <csignal>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/job_control.h"

namespace os {

int execvp(const char *file, char *const argv[])
{
    return ::execvp(file, argv);
}

void signal(int signo, int disposition)
{
    ::signal(signo, disposition == SIGNAL_IGNORE ? SIG_IGN : SIG_DFL);
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

bool wifstopped(int status)
{
    return WIFSTOPPED(status);
}

int wstopsig(int status)
{
    return WSTOPSIG(status);
}

void stop_as(int signo)
{
    posix_layer::stop_self(signo);
}

int kill(int pid, int signo)
{
    return ::kill(pid, signo);
}

int gettimeofday(timeval *tv)
{
    struct ::timeval now;
    int rc = ::gettimeofday(&now, nullptr);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_usec;
    return rc;
}

const int SIGNO_CHLD = SIGCHLD;
const int SIGNO_INT = SIGINT;
const int SIGNO_TSTP = SIGTSTP;
const int SIGNO_CONT = SIGCONT;
const int SIGNO_HUP = SIGHUP;

bool stream_is_terminal(FILE *stream)
{
    int fd = fileno(stream);
    return fd != -1 && isatty(fd);
}

} // namespace os
