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
#include "report/shquote.h"
#include "run/settings.h"

namespace {

// Scratch storage for the two path queries.
os::kinfo_file cwd_record;
char path_buffer[os::PATH_SIZE];

// A process that could not be read still ends the line it would have
// started, with a newline that waits for the next flush.
void unreadable(const char *what)
{
    int saved = errno;
    putc('\n', run_settings.output);
    errno = saved;
    warn("%s", what);
}

// Fills or renews pid's slot; in the timing mode a second exec of the slot's
// holder first gets the re-exec line for the image it replaces.
pid_db_entry *claim_slot(int pid, int depth, const os::kinfo_proc *kp)
{
    pid_db_entry *slot = &pid_db[pid_db_claim(pid)];
    if (run_settings.timing && slot->pid == pid) {
        print_indent(depth);
        os::timeval now;
        double run_time = elapsed_seconds(slot->start, &now);
        fprintf(run_settings.output, "%d- ", pid);
        // The stored name goes out as stored, but never raw onto a terminal.
        if (run_settings.terminal)
            print_shquoted(slot->cmd);
        else
            fputs(slot->cmd, run_settings.output);
        fprintf(run_settings.output, " execed time=%.3fs\n", run_time);
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
    const os::passwd *pw = os::getpwuid(uid);
    if (pw)
        fprintf(run_settings.output, " <%s>", pw->pw_name);
    else
        fprintf(run_settings.output, " <%d>", static_cast<int>(uid));
}

void print_cwd(int pid)
{
    size_t len = sizeof cwd_record;
    if (os::sysctl_proc_cwd(pid, &cwd_record, &len) == 0)
        print_shquoted(cwd_record.kf_path);
    else
        fputs("?", run_settings.output);
    fprintf(run_settings.output, " %% ");
}

const char *command_word(int pid, char *const *argv)
{
    if (run_settings.full_path) {
        size_t len = sizeof path_buffer;
        if (os::sysctl_proc_pathname(pid, path_buffer, &len) == 0)
            return path_buffer;
    }
    return argv[0];
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

} // namespace

void report_exec(int pid)
{
    FILE *out = run_settings.output;
    int depth = process_depth(pid);
    if (depth < 0)
        return;
    int count;
    const os::kinfo_proc *kp = os::kvm_getprocs(run_settings.kd, os::KERN_PROC_PID, pid, &count);
    if (!kp) {
        unreadable("kvm_getprocs");
        return;
    }
    char **argv = os::kvm_getargv(run_settings.kd, kp, 0);
    if (!argv) {
        unreadable("kvm_getargv");
        return;
    }
    pid_db_entry *slot = nullptr;
    if (!run_settings.flat || run_settings.timing)
        slot = claim_slot(pid, depth, kp);

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
    print_shquoted(word);
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
