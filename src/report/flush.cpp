// Flushing each line, and what a failed write means for the run.
#include "report/flush.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/settings.h"

namespace {

void write_failed(int e)
{
    run_settings.output_failed = true;
    if (e != EPIPE)
        fprintf(stderr, "forklog: cannot write to %s: %s\n", run_settings.output_name, strerror(e));
    run_settings.exit_status = 1;
    run_settings.quit = true;
}

} // namespace

void flush_line()
{
    FILE *out = run_settings.output;
    if (run_settings.output_failed || (fflush(out) == 0 && !ferror(out)))
        return;
    write_failed(errno);
}

void finish_output()
{
    if (run_settings.output_failed)
        return;
    long left = os::finish_output(run_settings.output, run_settings.interrupted);
    if (left < 0) {
        write_failed(errno);
    } else if (left > 0) {
        fprintf(stderr, "forklog: interrupted with %ld %s not written to %s\n", left,
                left == 1 ? "line" : "lines", run_settings.output_name);
        run_settings.exit_status = 1;
    }
}
