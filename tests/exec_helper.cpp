// Test helper: runs a program with a chosen directory, user and environment.
// Usage: exec_helper DIR UID [NAME=VALUE...] -- PROGRAM [ARG...]
// A DIR of "-" keeps the directory, a UID of "-" the user.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <unistd.h>
#include <vector>

int main(int argc, char *argv[])
{
    if (argc < 5) {
        fprintf(stderr, "usage: exec_helper DIR UID [ENV...] -- PROGRAM [ARG...]\n");
        return 2;
    }
    if (strcmp(argv[1], "-") != 0 && chdir(argv[1]) == -1) {
        perror("chdir");
        return 2;
    }
    if (strcmp(argv[2], "-") != 0) {
        uid_t uid = static_cast<uid_t>(atoi(argv[2]));
        if (setgroups(0, nullptr) == -1 || setgid(uid) == -1 || setuid(uid) == -1) {
            perror("setuid");
            return 2;
        }
    }
    std::vector<char *> env;
    int i = 3;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++)
        env.push_back(argv[i]);
    env.push_back(nullptr);
    if (i + 1 >= argc) {
        fprintf(stderr, "exec_helper: no program\n");
        return 2;
    }
    execve(argv[i + 1], &argv[i + 1], env.data());
    perror("execve");
    return 127;
}
