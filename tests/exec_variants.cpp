// Test helper: execs a program in ways other than a plain execve.
// Usage: exec_variants fexecve PROGRAM [ARG...]   (exec through a descriptor)
//        exec_variants thread PROGRAM [ARG...]    (exec from a second thread)
//        exec_variants rewrite [ARG...]           (hides its arguments, as some
//                                                  programs do, then lives 0.3 s)
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

extern char **environ;

namespace {

char **program_argv;

void *exec_from_thread(void *)
{
    execve(program_argv[0], program_argv, environ);
    perror("execve");
    _exit(127);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 2 && strcmp(argv[1], "rewrite") == 0) {
        char *end = argv[argc - 1] + strlen(argv[argc - 1]);
        memset(argv[0], 0, static_cast<size_t>(end - argv[0]));
        strcpy(argv[0], "/usr/sbin/sshd");
        strcpy(argv[0] + 15, "-D");
        usleep(300000);
        return 0;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: exec_variants fexecve|thread|rewrite PROGRAM [ARG...]\n");
        return 2;
    }
    program_argv = &argv[2];
    if (strcmp(argv[1], "fexecve") == 0) {
        int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
        if (fd == -1) {
            perror("open");
            return 2;
        }
        fexecve(fd, program_argv, environ);
        perror("fexecve");
        return 127;
    }
    pthread_t thread;
    pthread_create(&thread, nullptr, exec_from_thread, nullptr);
    pthread_join(thread, nullptr);
    return 127;
}
