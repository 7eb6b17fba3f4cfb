// Waiting for notes and handing each to its report.
#include "run/event_loop.h"

#include "procdb/pid_db.h"
#include "report/exec_report.h"
#include "report/exit_report.h"
#include "report/flush.h"
#include "report/timeline.h"
#include "run/settings.h"

namespace {

// Every scope is told of every watched process's end, so that its slot is
// freed and a later process with the same pid starts afresh. Exit lines are
// written for those ends in whole-system scope, or in every scope with -x;
// the command's own end is reported when it is reaped.
void process_ended(int pid, int status)
{
    if (run_settings.command && pid == run_settings.root_pid)
        return;
    if (run_settings.timeline)
        timeline_end(pid, status);
    if (whole_system_scope() || run_settings.every_end)
        report_exit(pid, status);
    else
        pid_db_release(pid);
}

// The status the tool ends with: the command's exit status, or 128 plus the
// number of the signal that ended it, as shells report it.
int status_of_command(int status)
{
    if (os::wifsignaled(status))
        return 128 + os::wtermsig(status);
    return os::wexitstatus(status);
}

void dispatch(const struct os::kevent &note)
{
    if (note.filter == os::EVFILT_PROC) {
        int pid = static_cast<int32_t>(static_cast<uint32_t>(note.ident));
        // A process that exec'd and ended before its note was read gets
        // the exit report only.
        if (note.fflags & os::NOTE_EXIT)
            process_ended(pid, static_cast<int32_t>(static_cast<uint32_t>(note.data)));
        else if (note.fflags & os::NOTE_EXEC)
            report_exec(pid);
    } else if (note.filter == os::EVFILT_SIGNAL) {
        if (note.ident == static_cast<uintptr_t>(os::SIGNO_CHLD))
            reap_children();
        else if (note.ident == static_cast<uintptr_t>(os::SIGNO_INT))
            run_settings.quit = run_settings.interrupted = true;
        else if (note.ident == static_cast<uintptr_t>(os::SIGNO_HUP))
            reopen_output();
    }
}

} // namespace

void reap_children()
{
    int status;
    int pid;
    while ((pid = os::waitpid(-1, &status, os::WAIT_NOHANG | os::WAIT_UNTRACED)) > 0) {
        // A command that stops stops the tool with it, as the shell's job
        // control expects of the job it waits for; continued, the tool
        // continues the command.
        if (os::wifstopped(status)) {
            if (pid == run_settings.root_pid && os::process_stopped(pid)) {
                os::stop_as(os::wstopsig(status));
                os::kill(pid, os::SIGNO_CONT);
            }
            continue;
        }
        if (run_settings.timeline)
            timeline_end(pid, status);
        if (run_settings.timing || run_settings.every_end)
            report_exit(pid, status);
        if (pid == run_settings.root_pid) {
            run_settings.quit = true;
            run_settings.exit_status = status_of_command(status);
        }
    }
}

namespace {

// The run ends with the command, on SIGINT, or once the output has failed.
bool run_ends()
{
    return run_settings.quit || run_settings.output_failed;
}

} // namespace

void event_loop()
{
    struct os::kevent events[EVENT_BATCH];
    while (!run_ends()) {
        int n = os::kevent(run_settings.kq, nullptr, 0, events, EVENT_BATCH);
        for (int i = 0; i < n; i++) {
            dispatch(events[i]);
            if (run_ends())
                return;
        }
    }
}
