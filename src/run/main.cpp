// forklog: writes a line for every program a watched process starts.
#include <cstdio>
#include <new>

#include "run/forklog.h"

int main(int argc, char *argv[])
{
    // The last word on memory running out; the reading of a process's
    // arguments reports it for that process and goes on.
    try {
        return forklog_main(argc, argv);
    } catch (const std::bad_alloc &) {
        fputs("forklog: Cannot allocate memory\n", stderr);
        return 1;
    }
}
