// Describing a process's end as a line, from the slot the process held.
#include "report/exit_report.h"

#include "procdb/pid_db.h"
#include "report/line_record.h"
#include "report/report_settings.h"

void report_exit(int pid, int status)
{
    int s = pid_db_release(pid);
    if (s < 0 || !(report_settings.timing || report_settings.every_end))
        return;
    // The slot is free again but keeps its fields until the next claim,
    // which cannot come before this line is written.
    const pid_db_entry *slot = &pid_db[s];
    os::timeval now;
    line_record line;
    line.kind = line_kind::exit;
    line.pid = pid;
    line.depth = slot->depth;
    line.command = slot->cmd;
    line.status = status;
    line.run_time = elapsed_seconds(slot->start, &now);
    write_line(line);
}
