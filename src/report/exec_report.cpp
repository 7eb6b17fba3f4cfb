// Describing an exec as a line: the process's record and arguments, and the
// facts the options ask for, as the system gives them when the line is
// written (the layer answers from what it recorded at the exec, where its
// source records that).
#include "report/exec_report.h"

#include <cerrno>
#include <err.h>

#include "procdb/depth.h"
#include "procdb/pid_db.h"
#include "report/line_record.h"
#include "report/process_facts.h"
#include "report/timeline.h"
#include "procdb/procdb_settings.h"
#include "report/report_settings.h"

namespace {

// A process that could not be read still ends the line it would have
// started; in JSON Lines its object says what failed.
void unreadable(line_record &line, const char *what)
{
    int saved = errno;
    line.kind = line_kind::unreadable;
    line.failed_call = what;
    line.error = saved;
    write_line(line);
    errno = saved;
    warn("%s", what);
}

// Fills or renews pid's slot; in the timing mode a second exec of the slot's
// holder first gets the re-exec line for the image it replaces.
pid_db_entry *claim_slot(int pid, int depth, const os::kinfo_proc *kp)
{
    pid_db_entry *slot = &pid_db[pid_db_claim(pid)];
    if (report_settings.timing && slot->pid == pid) {
        os::timeval now;
        line_record reexec;
        reexec.kind = line_kind::execed;
        reexec.pid = pid;
        reexec.depth = depth;
        reexec.kp = kp;
        reexec.command = slot->cmd;
        reexec.run_time = elapsed_seconds(slot->start, &now);
        write_line(reexec);
        slot->start = now;
    } else {
        slot->pid = pid;
        slot->depth = depth;
        slot->start = kp->ki_start;
    }
    return slot;
}

// The facts the options ask for; the command word last, as -l makes it the
// executable's path.
void add_facts(line_record &line)
{
    if ((line.with_user = report_settings.show_user)) {
        line.uid = line.kp->ki_uid;
        line.user = user_name(line.uid);
    }
    line.with_cgroup = report_settings.show_cgroup;
    if (line.with_cgroup || report_settings.journal)
        line.cgroup = control_group(line.pid);
    if ((line.with_cwd = report_settings.show_cwd))
        line.cwd = working_directory(line.pid);
    if ((line.with_exe = report_settings.full_path))
        line.exe = executable_path(line.pid);
    line.command = line.exe ? line.exe : line.argv[0];
    line.with_env = report_settings.show_env;
}

} // namespace

void report_exec(int pid)
{
    line_record line;
    line.pid = pid;
    line.depth = process_depth(pid);
    if (line.depth < 0)
        return;
    int count;
    line.kp = os::kvm_getprocs(procdb_settings.kd, os::KERN_PROC_PID, pid, &count);
    if (!line.kp) {
        unreadable(line, "kvm_getprocs");
        return;
    }
    line.argv = os::kvm_getargv(procdb_settings.kd, line.kp, 0);
    if (!line.argv) {
        unreadable(line, "kvm_getargv");
        return;
    }
    pid_db_entry *slot = nullptr;
    if (!report_settings.flat || report_settings.timing || report_settings.every_end)
        slot = claim_slot(pid, line.depth, line.kp);
    add_facts(line);
    if (slot)
        pid_db_set_cmd(slot, line.command);
    if (report_settings.timeline)
        timeline_exec(line);
    write_line(line);
}
