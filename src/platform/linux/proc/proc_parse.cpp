// Parsing /proc's text formats.
#include "platform/linux/proc/proc_parse.h"

#include <cstdint>

namespace linux_layer {

namespace {

// The decimal number at the front of text, moving text past it; false when
// there is none.
bool take_number(std::string_view &text, unsigned long long *n, bool *negative)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    *negative = !text.empty() && text.front() == '-';
    if (*negative)
        text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return false;
    *n = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        *n = *n * 10 + static_cast<unsigned>(text.front() - '0');
        text.remove_prefix(1);
    }
    return true;
}

} // namespace

bool parse_stat(std::string_view bytes, stat_fields *out)
{
    // The command name in parentheses may hold any byte: the fields start
    // after the last ')'. Fields from 3 on: state ppid pgrp session tty_nr
    // tpgid flags minflt cminflt majflt cmajflt utime stime cutime cstime
    // priority nice num_threads itrealvalue starttime.
    size_t close = bytes.rfind(')');
    if (close == std::string_view::npos || bytes.size() < close + 3 || bytes[close + 1] != ' ')
        return false;
    std::string_view rest = bytes.substr(close + 2);
    out->state = rest.front();
    rest.remove_prefix(1);
    unsigned long long field[19];
    for (unsigned long long &f : field) {
        bool negative;
        if (!take_number(rest, &f, &negative))
            return false;
        if (negative)
            f = 0 - f;
    }
    out->ppid = static_cast<int>(field[0]);
    out->threads = static_cast<int>(field[16]);
    out->start_ticks = field[18];
    return true;
}

namespace {

// The number on the line of status that starts with key ("\nName:").
int status_number(std::string_view status, std::string_view key)
{
    size_t at = status.find(key);
    if (at == std::string_view::npos)
        return -1;
    std::string_view rest = status.substr(at + key.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.remove_prefix(1);
    unsigned long long n;
    bool negative;
    if (!take_number(rest, &n, &negative) || negative || n > INT32_MAX)
        return -1;
    return static_cast<int>(n);
}

} // namespace

int parse_tgid(std::string_view status)
{
    return status_number(status, "\nTgid:");
}

int parse_ppid(std::string_view status)
{
    return status_number(status, "\nPPid:");
}

int parse_pid_entry(const char *name)
{
    long long pid = 0;
    if (*name == '0' || *name == '\0')
        return 0;
    for (const char *p = name; *p; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        pid = pid * 10 + (*p - '0');
        if (pid > INT32_MAX)
            return 0;
    }
    return static_cast<int>(pid);
}

} // namespace linux_layer
