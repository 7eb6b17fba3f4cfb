// Flushing each line, and what a failed write means for the run.
#include "report/flush.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "report/report_settings.h"

namespace {

void write_failed(int e)
{
    report_settings.output_failed = true;
    if (e != EPIPE)
        fprintf(stderr, "forklog: cannot write to %s: %s\n", report_settings.output_name,
                strerror(e));
}

} // namespace

void flush_line()
{
    FILE *out = report_settings.output;
    if (report_settings.output_failed || (fflush(out) == 0 && !ferror(out)))
        return;
    write_failed(errno);
}

void reopen_output()
{
    if (report_settings.output_failed || !report_settings.output_path)
        return;
    if (os::reopen_output(report_settings.output, report_settings.output_path) != 0)
        fprintf(stderr, "forklog: cannot reopen %s: %s; lines go on to the file open until now\n",
                report_settings.output_path, strerror(errno));
}

void finish_output()
{
    if (report_settings.output_failed || report_settings.journal)
        return;
    long left = os::finish_output(report_settings.output, report_settings.interrupted);
    if (left < 0) {
        write_failed(errno);
    } else if (left > 0) {
        fprintf(stderr, "forklog: interrupted with %ld %s not written to %s\n", left,
                left == 1 ? "line" : "lines", report_settings.output_name);
        report_settings.output_failed = true;
    }
}
