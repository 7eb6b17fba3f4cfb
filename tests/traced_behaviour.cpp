// Test helper: does what a tracer must not change, and prints what it saw,
// so that a run under forklog can be compared with a direct one.
// Usage: traced_behaviour jobs      (stops and continues a child from outside,
//                                     as job control does, and waits for it)
//        traced_behaviour handler   (a signal handler runs)
//        traced_behaviour spawn     (posix_spawn, a vfork and exec)
//        traced_behaviour linger N  (a child runs on N tenths of a second
//                                     after the parent ends, then says so)
//        traced_behaviour forkloop  (forks children that end at once, for
//                                     ever: its killer orphans the last)
//        traced_behaviour tstp      (a handler of the terminal's stop that
//                                     stops the program itself, as less and
//                                     editors do; says when it goes on)
//        traced_behaviour threads   (for ever, each thread runs
//                                     "/bin/true tick N", N counting up,
//                                     then starts the next thread and ends)
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

volatile sig_atomic_t handled = 0;

void on_usr1(int)
{
    handled = 1;
}

void describe(const char *what, int status)
{
    if (WIFSTOPPED(status))
        printf("%s: stopped by %s\n", what, sigabbrev_np(WSTOPSIG(status)));
    else if (WIFCONTINUED(status))
        printf("%s: continued\n", what);
    else if (WIFSIGNALED(status))
        printf("%s: killed by %s\n", what, sigabbrev_np(WTERMSIG(status)));
    else
        printf("%s: exited %d\n", what, WEXITSTATUS(status));
}

int jobs()
{
    // The child gets a process group of its own under this one, as a shell
    // job does: a stop signal to a group with no parent outside it in the
    // session (as when the test runs without a terminal) would be discarded.
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        for (;;)
            pause();
    }
    setpgid(child, child);
    int status;
    kill(child, SIGSTOP);
    waitpid(child, &status, WUNTRACED);
    describe("after STOP", status);
    kill(child, SIGCONT);
    waitpid(child, &status, WCONTINUED);
    describe("after CONT", status);
    kill(child, SIGTSTP);
    waitpid(child, &status, WUNTRACED);
    describe("after TSTP", status);
    kill(child, SIGCONT);
    kill(child, SIGTERM);
    waitpid(child, &status, 0);
    describe("after TERM", status);
    return 0;
}

int handler()
{
    signal(SIGUSR1, on_usr1);
    kill(getpid(), SIGUSR1);
    while (!handled)
        usleep(1000);
    puts("handler ran");
    return 0;
}

int spawn()
{
    pid_t pid;
    char *argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                    const_cast<char *>("exit 7"), nullptr};
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
        return 2;
    int status;
    waitpid(pid, &status, 0);
    describe("spawned", status);
    return 0;
}

int linger(int tenths)
{
    pid_t child = fork();
    if (child == 0) {
        usleep(static_cast<useconds_t>(tenths) * 100000);
        puts("the child finished its work");
        return 0;
    }
    return 0;
}

volatile sig_atomic_t resumed = 0;

void on_tstp(int)
{
    static const char stopping[] = "handler: stopping\n";
    static const char going_on[] = "handler: resumed\n";
    write(1, stopping, sizeof stopping - 1);
    signal(SIGTSTP, SIG_DFL);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
    raise(SIGTSTP); // stopped here until continued
    signal(SIGTSTP, on_tstp);
    write(1, going_on, sizeof going_on - 1);
    resumed = 1;
}

// Waits up to 30 s for the stop and the continue.
int tstp()
{
    signal(SIGTSTP, on_tstp);
    puts("ready");
    for (int i = 0; i < 3000 && !resumed; i++)
        usleep(10000);
    return resumed ? 0 : 1;
}

int forkloop()
{
    for (;;) {
        if (fork() == 0)
            _exit(0);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
}

std::atomic<int> ticks = 0;

void *tick(void *)
{
    char number[16];
    snprintf(number, sizeof number, "%d", ticks++);
    char *const args[] = {const_cast<char *>("/bin/true"), const_cast<char *>("tick"), number,
                          nullptr};
    pid_t child;
    if (posix_spawn(&child, args[0], nullptr, nullptr, args, environ) == 0)
        waitpid(child, nullptr, 0);
    usleep(3000);
    pthread_t next;
    pthread_create(&next, nullptr, tick, nullptr);
    pthread_detach(next);
    return nullptr;
}

int threads()
{
    tick(nullptr);
    for (;;)
        pause();
}

} // namespace

int main(int argc, char *argv[])
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && strcmp(argv[1], "jobs") == 0)
        return jobs();
    if (argc == 2 && strcmp(argv[1], "handler") == 0)
        return handler();
    if (argc == 2 && strcmp(argv[1], "spawn") == 0)
        return spawn();
    if (argc == 3 && strcmp(argv[1], "linger") == 0)
        return linger(atoi(argv[2]));
    if (argc == 2 && strcmp(argv[1], "forkloop") == 0)
        return forkloop();
    if (argc == 2 && strcmp(argv[1], "tstp") == 0)
        return tstp();
    if (argc == 2 && strcmp(argv[1], "threads") == 0)
        return threads();
    fprintf(stderr, "usage: traced_behaviour jobs|handler|spawn|linger N|forkloop|tstp|threads\n");
    return 2;
}
