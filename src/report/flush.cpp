// Flushing each line, and what a failed write means for the run.
#include "report/flush.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/settings.h"

void flush_line()
{
    FILE *out = run_settings.output;
    if (run_settings.output_failed || (fflush(out) == 0 && !ferror(out)))
        return;
    int e = errno;
    run_settings.output_failed = true;
    if (e != EPIPE)
        fprintf(stderr, "forklog: cannot write to %s: %s\n", run_settings.output_name,
                strerror(e));
    run_settings.exit_status = 1;
    run_settings.quit = true;
}
