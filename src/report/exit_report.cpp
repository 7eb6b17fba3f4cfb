// Writing the exit line from the slot the process held.
#include "report/exit_report.h"

#include <cstdio>

#include "procdb/pid_db.h"
#include "report/flush.h"
#include "report/indent.h"
#include "report/json_lines.h"
#include "report/shquote.h"
#include "run/settings.h"

namespace {

void print_ending(int status)
{
    FILE *out = run_settings.output;
    if (!os::wifsignaled(status)) {
        fprintf(out, " exited status=%d", os::wexitstatus(status));
        return;
    }
    int sig = os::wtermsig(status);
    if (const char *name = signal_name(sig))
        fprintf(out, " exited signal=%s", name);
    else
        fprintf(out, " exited signal=%d", sig);
}

} // namespace

const char *signal_name(int sig)
{
    // The status can name a signal past the end of the name table.
    return sig >= 0 && sig < os::sys_nsig ? os::sys_signame[sig] : nullptr;
}

void report_exit(int pid, int status)
{
    int s = pid_db_release(pid);
    if (s < 0 || !run_settings.timing)
        return;
    // The slot is free again but keeps its fields until the next claim,
    // which cannot come before this line is written.
    const pid_db_entry *slot = &pid_db[s];
    os::timeval now;
    if (run_settings.json) {
        json_exit(pid, slot, status, elapsed_seconds(slot->start, &now));
        return;
    }
    FILE *out = run_settings.output;
    print_indent(slot->depth);
    fprintf(out, "%d- ", pid);
    print_shquoted(slot->cmd);
    print_ending(status);
    fprintf(out, " time=%.3fs\n", elapsed_seconds(slot->start, &now));
    flush_line();
}
