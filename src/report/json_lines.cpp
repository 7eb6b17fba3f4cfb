// Writing exec, re-exec and exit objects for the JSON Lines mode.
#include "report/json_lines.h"

#include <cstdio>
#include <cstring>

#include "report/exit_report.h"
#include "report/flush.h"
#include "report/json.h"
#include "report/process_facts.h"
#include "run/settings.h"

namespace {

// {"event":"NAME","time":...,"pid":N
void begin(const char *event, os::timeval at, int pid)
{
    fprintf(run_settings.output, "{\"event\":\"%s\",\"time\":", event);
    print_json_time(at);
    fprintf(run_settings.output, ",\"pid\":%d", pid);
}

void end()
{
    fputs("}\n", run_settings.output);
    flush_line();
}

// A string field, or null.
void string_field(const char *name, const char *value)
{
    print_json_key(name);
    if (value)
        print_json_string(value);
    else
        fputs("null", run_settings.output);
}

void environment_field(const os::kinfo_proc *kp)
{
    print_json_key("env");
    char **env = os::kvm_getenvv(run_settings.kd, kp, 0);
    if (!env) {
        fputs("null", run_settings.output);
        return;
    }
    putc('[', run_settings.output);
    for (char **entry = env; *entry; entry++) {
        if (entry != env)
            putc(',', run_settings.output);
        print_json_string(*entry);
    }
    putc(']', run_settings.output);
}

} // namespace

void json_exec(int pid, int depth, const os::kinfo_proc *kp, char **argv)
{
    FILE *out = run_settings.output;
    begin("exec", exec_time(kp), pid);
    fprintf(out, ",\"ppid\":%d,\"depth\":%d", kp->ki_ppid, depth);
    // The arguments as the process has them: with -l the path goes in
    // "exe", never in place of argv[0].
    print_json_key("argv");
    putc('[', out);
    print_json_string(argv[0]);
    if (!run_settings.quiet) {
        for (char **arg = argv + 1; *arg; arg++) {
            putc(',', out);
            print_json_string(*arg);
        }
    }
    putc(']', out);
    if (run_settings.show_user) {
        string_field("user", user_name(kp->ki_uid));
        fprintf(out, ",\"uid\":%u", kp->ki_uid);
    }
    if (run_settings.show_cwd)
        string_field("cwd", working_directory(pid));
    if (run_settings.full_path)
        string_field("exe", executable_path(pid));
    if (run_settings.show_env)
        environment_field(kp);
    end();
}

void json_unreadable(int pid, int depth, const os::kinfo_proc *kp, const char *what, int error)
{
    begin("exec", exec_time(kp), pid);
    fprintf(run_settings.output, ",\"depth\":%d", depth);
    char text[256];
    snprintf(text, sizeof text, "%s: %s", what, strerror(error));
    print_json_key("error");
    print_json_string(text);
    end();
}

void json_execed(int pid, int depth, const os::kinfo_proc *kp, const char *cmd, double run_time)
{
    begin("execed", exec_time(kp), pid);
    fprintf(run_settings.output, ",\"depth\":%d", depth);
    string_field("cmd", cmd);
    fprintf(run_settings.output, ",\"time_s\":%.3f", run_time);
    end();
}

void json_exit(int pid, const pid_db_entry *slot, int status, double run_time)
{
    os::timeval now;
    os::gettimeofday(&now);
    begin("exit", now, pid);
    fprintf(run_settings.output, ",\"depth\":%d", slot->depth);
    string_field("cmd", slot->cmd);
    if (os::wifsignaled(status)) {
        int sig = os::wtermsig(status);
        if (const char *name = signal_name(sig))
            string_field("signal", name);
        else
            fprintf(run_settings.output, ",\"signal\":%d", sig);
    } else {
        fprintf(run_settings.output, ",\"status\":%d", os::wexitstatus(status));
    }
    fprintf(run_settings.output, ",\"time_s\":%.3f", run_time);
    end();
}
