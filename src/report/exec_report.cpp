// Writing the exec line from what the system says of the process right now.
#include "report/exec_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>

#include "procdb/depth.h"
#include "procdb/pid_db.h"
#include "report/flush.h"
#include "report/indent.h"
#include "report/json_lines.h"
#include "report/process_facts.h"
#include "report/shquote.h"
#include "run/settings.h"

namespace {

// A process that could not be read still ends the line it would have
// started, with a newline that waits for the next flush; in JSON Lines its
// object says what failed.
void unreadable(int pid, int depth, const os::kinfo_proc *kp, const char *what)
{
    int saved = errno;
    if (run_settings.json)
        json_unreadable(pid, depth, kp, what, saved);
    else
        putc('\n', run_settings.output);
    errno = saved;
    warn("%s", what);
}

void print_reexec(int pid, int depth, const os::kinfo_proc *kp, const char *cmd,
                  double run_time)
{
    if (run_settings.json) {
        json_execed(pid, depth, kp, cmd, run_time);
        return;
    }
    print_indent(depth);
    fprintf(run_settings.output, "%d- ", pid);
    // The stored name goes out as stored, but never raw onto a terminal.
    if (run_settings.terminal)
        print_shquoted(cmd);
    else
        fputs(cmd, run_settings.output);
    fprintf(run_settings.output, " execed time=%.3fs\n", run_time);
}

// Fills or renews pid's slot; in the timing mode a second exec of the slot's
// holder first gets the re-exec line for the image it replaces.
pid_db_entry *claim_slot(int pid, int depth, const os::kinfo_proc *kp)
{
    pid_db_entry *slot = &pid_db[pid_db_claim(pid)];
    if (run_settings.timing && slot->pid == pid) {
        os::timeval now;
        double run_time = elapsed_seconds(slot->start, &now);
        print_reexec(pid, depth, kp, slot->cmd, run_time);
        slot->start = now;
    } else {
        slot->pid = pid;
        slot->depth = depth;
        slot->start = kp->ki_start;
    }
    return slot;
}

void print_user(uint32_t uid)
{
    const char *name = user_name(uid);
    if (name)
        fprintf(run_settings.output, " <%s>", name);
    else
        fprintf(run_settings.output, " <%d>", static_cast<int>(uid));
}

void print_cwd(int pid)
{
    const char *cwd = working_directory(pid);
    if (cwd)
        print_shquoted(cwd);
    else
        fputs("?", run_settings.output);
    fprintf(run_settings.output, " %% ");
}

void print_env(const os::kinfo_proc *kp)
{
    char **env = os::kvm_getenvv(run_settings.kd, kp, 0);
    if (!env) {
        fputs(" -", run_settings.output);
        return;
    }
    for (; *env; env++) {
        putc(' ', run_settings.output);
        char *eq = strchr(*env, '=');
        if (!eq) {
            print_shquoted(*env);
            continue;
        }
        *eq = '\0';
        print_shquoted(*env);
        putc('=', run_settings.output);
        print_shquoted_value(eq + 1);
    }
}

void print_line(int pid, int depth, const os::kinfo_proc *kp, char **argv, pid_db_entry *slot)
{
    FILE *out = run_settings.output;
    print_indent(depth);
    fprintf(out, "%d", pid);
    if (run_settings.timing)
        putc('+', out);
    if (run_settings.show_user)
        print_user(kp->ki_uid);
    putc(' ', out);
    if (run_settings.show_cwd)
        print_cwd(pid);
    const char *word = command_word(pid, argv);
    if (slot)
        pid_db_set_cmd(slot, word);
    print_shquoted_command(word);
    if (!run_settings.quiet) {
        for (char **arg = argv + 1; *arg; arg++) {
            putc(' ', out);
            print_shquoted(*arg);
        }
    }
    if (run_settings.show_env)
        print_env(kp);
    putc('\n', out);
    flush_line();
}

} // namespace

void report_exec(int pid)
{
    int depth = process_depth(pid);
    if (depth < 0)
        return;
    int count;
    const os::kinfo_proc *kp = os::kvm_getprocs(run_settings.kd, os::KERN_PROC_PID, pid, &count);
    if (!kp) {
        unreadable(pid, depth, nullptr, "kvm_getprocs");
        return;
    }
    char **argv = os::kvm_getargv(run_settings.kd, kp, 0);
    if (!argv) {
        unreadable(pid, depth, kp, "kvm_getargv");
        return;
    }
    pid_db_entry *slot = nullptr;
    if (!run_settings.flat || run_settings.timing)
        slot = claim_slot(pid, depth, kp);
    if (!run_settings.json) {
        print_line(pid, depth, kp, argv, slot);
        return;
    }
    const char *word = command_word(pid, argv);
    if (slot)
        pid_db_set_cmd(slot, word);
    json_exec(pid, depth, kp, argv);
}
