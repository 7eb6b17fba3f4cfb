// Handing a line to its printer.
#include "report/line_record.h"

#include "report/flush.h"
#include "report/journal_lines.h"
#include "report/json_lines.h"
#include "report/text_lines.h"
#include "procdb/procdb_settings.h"
#include "report/report_settings.h"

char **line_environment(const line_record &line)
{
    return line.kp ? os::kvm_getenvv(procdb_settings.kd, line.kp, 0) : nullptr;
}

const char *signal_name(int sig)
{
    // The status can name a signal past the end of the name table.
    return sig >= 0 && sig < os::sys_nsig ? os::sys_signame[sig] : nullptr;
}

void write_line(const line_record &line)
{
    if (report_settings.journal) {
        send_journal_line(line);
        return;
    }
    if (report_settings.json) {
        print_json_line(line);
    } else {
        print_text_line(line);
        if (line.kind == line_kind::unreadable)
            return;
    }
    flush_line();
}
