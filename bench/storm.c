/* Exec storm: P workers run N fork+execve+wait of a tiny target in total.
 * Usage: storm N P USEC TAG TARGET PIDLOG RESULT
 * Target argv: TARGET TAG INDEX USEC. Each worker logs "INDEX PID" lines to
 * PIDLOG.W; RESULT gets "elapsed=SECONDS cpu=SECONDS" for the whole storm. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double seconds(struct timeval tv)
{
    return tv.tv_sec + tv.tv_usec / 1e6;
}

static void worker(int w, long n, int p, const char *usec, const char *tag, const char *target,
                   const char *pidlog)
{
    char name[4096];
    snprintf(name, sizeof name, "%s.%d", pidlog, w);
    FILE *log = fopen(name, "w");
    if (!log) {
        perror(name);
        _exit(1);
    }
    for (long i = w; i < n; i += p) {
        char index[32];
        snprintf(index, sizeof index, "%ld", i);
        char *argv[] = {(char *)target, (char *)tag, index, (char *)usec, NULL};
        pid_t pid = fork();
        if (pid == 0) {
            execve(target, argv, environ);
            _exit(127);
        }
        if (pid < 0) {
            perror("fork");
            _exit(1);
        }
        fprintf(log, "%ld %d\n", i, pid);
        waitpid(pid, NULL, 0);
    }
    fclose(log);
    _exit(0);
}

int main(int argc, char *argv[])
{
    if (argc != 8) {
        fprintf(stderr, "usage: storm N P USEC TAG TARGET PIDLOG RESULT\n");
        return 2;
    }
    long n = atol(argv[1]);
    int p = atoi(argv[2]);
    double start = now();
    for (int w = 0; w < p; w++)
        if (fork() == 0)
            worker(w, n, p, argv[3], argv[4], argv[5], argv[6]);
    while (wait(NULL) > 0) {
    }
    double elapsed = now() - start;
    struct rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    double cpu = seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) +
                 seconds(children.ru_stime);
    FILE *result = fopen(argv[7], "w");
    if (!result)
        return 1;
    fprintf(result, "elapsed=%.6f cpu=%.6f\n", elapsed, cpu);
    fclose(result);
    return 0;
}
