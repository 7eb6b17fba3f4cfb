// Building a journal entry from a line: the message as the chosen printer
// writes it, then the fields, each value with its bytes as read.
#include "report/journal_lines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "report/captured.h"
#include "report/json_lines.h"
#include "report/process_facts.h"
#include "report/report_settings.h"
#include "report/text_lines.h"

namespace {

// The journal keeps at most 1024 fields in an entry, its own among them, and
// drops a larger entry whole: a list of more values than this (arguments,
// environment entries) has no field per value.
constexpr size_t JOURNAL_LIST_MAX = 400;

std::vector<std::string> fields;

size_t count_of(char **list)
{
    size_t n = 0;
    while (list[n])
        n++;
    return n;
}

void field(const char *name, const char *value)
{
    fields.push_back(std::string(name) + "=" + value);
}

// A list two ways. The journal keeps an entry's fields as a set, each
// distinct NAME=value once and in an order of its own, so a field per value
// serves searches (up to JOURNAL_LIST_MAX values); the list itself, in order
// and with its repeats, is one field named with _NUL, its values joined by
// NUL bytes.
void list_fields(const char *name, const std::vector<const char *> &list)
{
    if (list.size() <= JOURNAL_LIST_MAX)
        for (const char *value : list)
            field(name, value);
    std::string joined = std::string(name) + "_NUL=";
    for (size_t i = 0; i < list.size(); i++) {
        if (i > 0)
            joined += '\0';
        joined += list[i];
    }
    fields.push_back(std::move(joined));
}

void number_field(const char *name, long long value)
{
    field(name, std::to_string(value).c_str());
}

// The systemd unit a control group path names: its last part that is a
// service's or a scope's (.../nginx.service), else null.
const char *unit_of(const char *cgroup)
{
    static std::string unit;
    std::string_view path(cgroup);
    while (!path.empty()) {
        size_t slash = path.rfind('/');
        std::string_view part = slash == std::string_view::npos ? path : path.substr(slash + 1);
        for (std::string_view kind : {".service", ".scope", ".socket", ".mount", ".swap"})
            if (part.size() > kind.size() && part.substr(part.size() - kind.size()) == kind) {
                unit = part;
                return unit.c_str();
            }
        if (slash == std::string_view::npos)
            break;
        path = path.substr(0, slash);
    }
    return nullptr;
}

void common_fields(const char *event, const line_record &line)
{
    field("PRIORITY", "6");
    field("SYSLOG_IDENTIFIER", "forklog");
    field("FORKLOG_EVENT", event);
    number_field("FORKLOG_PID", line.pid);
    number_field("FORKLOG_DEPTH", line.depth);
}

void exec_fields(const line_record &line)
{
    common_fields("exec", line);
    number_field("FORKLOG_PPID", line.kp->ki_ppid);
    os::timeval at = exec_time(line.kp);
    number_field("FORKLOG_EXEC_TIME", static_cast<long long>(at.tv_sec) * 1000000 + at.tv_usec);
    // As the other printers: with -q the command's first word alone.
    std::vector<const char *> words = {line.argv[0]};
    if (!report_settings.quiet)
        for (char *const *arg = line.argv + 1; *arg; arg++)
            words.push_back(*arg);
    list_fields("FORKLOG_ARGV", words);
    if (line.with_user) {
        number_field("FORKLOG_UID", line.uid);
        if (line.user)
            field("FORKLOG_USER", line.user);
    }
    if (line.cgroup) {
        field("FORKLOG_CGROUP", line.cgroup);
        if (const char *unit = unit_of(line.cgroup))
            field("FORKLOG_UNIT", unit);
    }
    if (line.with_cwd && line.cwd)
        field("FORKLOG_CWD", line.cwd);
    if (line.with_exe && line.exe)
        field("FORKLOG_EXE", line.exe);
}

// Asked after the message is printed: asking may replace argv's storage.
void environment_fields(const line_record &line)
{
    if (line.kind != line_kind::exec || !line.with_env)
        return;
    if (char **env = line_environment(line))
        list_fields("FORKLOG_ENV", std::vector<const char *>(env, env + count_of(env)));
}

void unreadable_fields(const line_record &line)
{
    common_fields("exec", line);
    char text[256];
    snprintf(text, sizeof text, "%s: %s", line.failed_call, strerror(line.error));
    field("FORKLOG_ERROR", text);
}

void time_field(const line_record &line)
{
    char seconds[64];
    snprintf(seconds, sizeof seconds, "%.3f", line.run_time);
    field("FORKLOG_TIME_S", seconds);
}

void exit_fields(const line_record &line)
{
    common_fields("exit", line);
    field("FORKLOG_CMD", line.command);
    if (os::wifsignaled(line.status)) {
        int sig = os::wtermsig(line.status);
        if (const char *name = signal_name(sig))
            field("FORKLOG_SIGNAL", name);
        else
            number_field("FORKLOG_SIGNAL", sig);
    } else {
        number_field("FORKLOG_STATUS", os::wexitstatus(line.status));
    }
    time_field(line);
}

// The message: what the chosen printer writes for the line, without its
// newline.
void message_field(const line_record &line)
{
    std::string message = captured([&] {
        if (line.kind == line_kind::unreadable)
            fprintf(report_settings.output, "%d: %s: %s", line.pid, line.failed_call,
                    strerror(line.error));
        else if (report_settings.json)
            print_json_line(line);
        else
            print_text_line(line);
    });
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    fields.push_back("MESSAGE=" + message);
}

} // namespace

bool start_journal_output()
{
    report_settings.output_name = "the system journal";
    int e = os::journal_open();
    if (e == ENOSYS) {
        fputs("forklog: this forklog was built without the system journal; build it with "
              "libsystemd's headers installed (Debian: libsystemd-dev)\n",
              stderr);
        return false;
    }
    if (e != 0) {
        fprintf(stderr,
                "forklog: cannot reach the system journal: %s; is systemd-journald running?\n",
                strerror(e));
        return false;
    }
    report_settings.terminal = false;
    return true;
}

void journal_takes_diagnostics()
{
    if (os::stream_is_terminal(stderr))
        return;
    fflush(stderr);
    if (int e = os::journal_diagnostics())
        fprintf(stderr, "forklog: cannot send messages to the system journal: %s\n", strerror(e));
}

void send_journal_line(const line_record &line)
{
    if (report_settings.output_failed)
        return;
    fields.clear();
    switch (line.kind) {
    case line_kind::exec:
        exec_fields(line);
        break;
    case line_kind::unreadable:
        unreadable_fields(line);
        break;
    case line_kind::execed:
        common_fields("execed", line);
        field("FORKLOG_CMD", line.command);
        time_field(line);
        break;
    case line_kind::exit:
        exit_fields(line);
        break;
    }
    message_field(line);
    environment_fields(line);
    std::vector<os::journal_field> entry;
    entry.reserve(fields.size());
    for (const std::string &f : fields)
        entry.push_back({f.data(), f.size()});
    int e = os::journal_send(entry.data(), static_cast<int>(entry.size()));
    if (e != 0) {
        report_settings.output_failed = true;
        fprintf(stderr, "forklog: cannot write to the system journal: %s\n", strerror(e));
    }
}
