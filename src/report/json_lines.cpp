// Writing exec, re-exec and exit objects for the JSON Lines mode.
#include "report/json_lines.h"

#include <cstdio>
#include <cstring>

#include "report/json.h"
#include "report/process_facts.h"
#include "report/report_settings.h"

namespace {

// {"event":"NAME","time":...,"pid":N
void begin(const char *event, os::timeval at, int pid)
{
    fprintf(report_settings.output, "{\"event\":\"%s\",\"time\":", event);
    print_json_time(at);
    fprintf(report_settings.output, ",\"pid\":%d", pid);
}

// A string field, or null.
void string_field(const char *name, const char *value)
{
    print_json_key(name);
    if (value)
        print_json_string(value);
    else
        fputs("null", report_settings.output);
}

void environment_field(const line_record &line)
{
    print_json_key("env");
    char **env = line_environment(line);
    if (!env) {
        fputs("null", report_settings.output);
        return;
    }
    putc('[', report_settings.output);
    for (char **entry = env; *entry; entry++) {
        if (entry != env)
            putc(',', report_settings.output);
        print_json_string(*entry);
    }
    putc(']', report_settings.output);
}

void print_exec(const line_record &line)
{
    FILE *out = report_settings.output;
    begin("exec", exec_time(line.kp), line.pid);
    fprintf(out, ",\"ppid\":%d,\"depth\":%d", line.kp->ki_ppid, line.depth);
    // The arguments as the process has them: with -l the path goes in
    // "exe", never in place of argv[0].
    print_json_key("argv");
    putc('[', out);
    print_json_string(line.argv[0]);
    if (!report_settings.quiet) {
        for (char *const *arg = line.argv + 1; *arg; arg++) {
            putc(',', out);
            print_json_string(*arg);
        }
    }
    putc(']', out);
    if (line.with_user) {
        string_field("user", line.user);
        fprintf(out, ",\"uid\":%u", line.uid);
    }
    if (line.with_cgroup)
        string_field("cgroup", line.cgroup);
    if (line.with_cwd)
        string_field("cwd", line.cwd);
    if (line.with_exe)
        string_field("exe", line.exe);
    if (line.with_env)
        environment_field(line);
}

void print_unreadable(const line_record &line)
{
    begin("exec", exec_time(line.kp), line.pid);
    fprintf(report_settings.output, ",\"depth\":%d", line.depth);
    char text[256];
    snprintf(text, sizeof text, "%s: %s", line.failed_call, strerror(line.error));
    print_json_key("error");
    print_json_string(text);
}

void print_execed(const line_record &line)
{
    begin("execed", exec_time(line.kp), line.pid);
    fprintf(report_settings.output, ",\"depth\":%d", line.depth);
    string_field("cmd", line.command);
    fprintf(report_settings.output, ",\"time_s\":%.3f", line.run_time);
}

void print_exit(const line_record &line)
{
    os::timeval now;
    os::gettimeofday(&now);
    begin("exit", now, line.pid);
    fprintf(report_settings.output, ",\"depth\":%d", line.depth);
    string_field("cmd", line.command);
    if (os::wifsignaled(line.status)) {
        int sig = os::wtermsig(line.status);
        if (const char *name = signal_name(sig))
            string_field("signal", name);
        else
            fprintf(report_settings.output, ",\"signal\":%d", sig);
    } else {
        fprintf(report_settings.output, ",\"status\":%d", os::wexitstatus(line.status));
    }
    fprintf(report_settings.output, ",\"time_s\":%.3f", line.run_time);
}

} // namespace

void print_json_line(const line_record &line)
{
    switch (line.kind) {
    case line_kind::exec:
        print_exec(line);
        break;
    case line_kind::unreadable:
        print_unreadable(line);
        break;
    case line_kind::execed:
        print_execed(line);
        break;
    case line_kind::exit:
        print_exit(line);
        break;
    }
    fputs("}\n", report_settings.output);
}
