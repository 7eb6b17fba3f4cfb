// Writing exec, re-exec and exit lines as text.
#include "report/text_lines.h"

#include <cstdio>
#include <cstring>

#include "report/indent.h"
#include "report/shquote.h"
#include "report/report_settings.h"

namespace {

void print_user(const line_record &line)
{
    if (line.user)
        fprintf(report_settings.output, " <%s>", line.user);
    else
        fprintf(report_settings.output, " <%d>", static_cast<int>(line.uid));
}

void print_cgroup(const line_record &line)
{
    fputs(" [", report_settings.output);
    if (line.cgroup)
        print_shquoted(line.cgroup);
    else
        fputs("?", report_settings.output);
    putc(']', report_settings.output);
}

void print_cwd(const line_record &line)
{
    if (line.cwd)
        print_shquoted(line.cwd);
    else
        fputs("?", report_settings.output);
    fprintf(report_settings.output, " %% ");
}

void print_env(const line_record &line)
{
    char **env = line_environment(line);
    if (!env) {
        fputs(" -", report_settings.output);
        return;
    }
    for (; *env; env++) {
        putc(' ', report_settings.output);
        char *eq = strchr(*env, '=');
        if (!eq) {
            print_shquoted(*env);
            continue;
        }
        *eq = '\0';
        print_shquoted(*env);
        *eq = '=';
        putc('=', report_settings.output);
        print_shquoted_value(eq + 1);
    }
}

void print_exec(const line_record &line)
{
    FILE *out = report_settings.output;
    print_indent(line.depth);
    fprintf(out, "%d", line.pid);
    if (report_settings.timing)
        putc('+', out);
    if (line.with_user)
        print_user(line);
    if (line.with_cgroup)
        print_cgroup(line);
    putc(' ', out);
    if (line.with_cwd)
        print_cwd(line);
    print_shquoted_command(line.command);
    if (!report_settings.quiet) {
        for (char *const *arg = line.argv + 1; *arg; arg++) {
            putc(' ', out);
            print_shquoted(*arg);
        }
    }
    if (line.with_env)
        print_env(line);
    putc('\n', out);
}

void print_execed(const line_record &line)
{
    print_indent(line.depth);
    fprintf(report_settings.output, "%d- ", line.pid);
    // The stored name goes out as stored, but never raw onto a terminal.
    if (report_settings.terminal)
        print_shquoted(line.command);
    else
        fputs(line.command, report_settings.output);
    fprintf(report_settings.output, " execed time=%.3fs\n", line.run_time);
}

void print_ending(int status)
{
    FILE *out = report_settings.output;
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

void print_exit(const line_record &line)
{
    print_indent(line.depth);
    fprintf(report_settings.output, "%d- ", line.pid);
    print_shquoted(line.command);
    print_ending(line.status);
    fprintf(report_settings.output, " time=%.3fs\n", line.run_time);
}

} // namespace

void print_text_line(const line_record &line)
{
    switch (line.kind) {
    case line_kind::exec:
        print_exec(line);
        break;
    case line_kind::unreadable:
        // The line it would have started still ends.
        putc('\n', report_settings.output);
        break;
    case line_kind::execed:
        print_execed(line);
        break;
    case line_kind::exit:
        print_exit(line);
        break;
    }
}
