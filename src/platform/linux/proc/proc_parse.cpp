// Parsing /proc's text formats.
#include "platform/linux/proc/proc_parse.h"

#include <cstdint>
#include <vector>

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

std::optional<std::string> parse_cgroup(std::string_view file)
{
    std::optional<std::string> named;
    while (!file.empty()) {
        size_t end = file.find('\n');
        std::string_view line = file.substr(0, end);
        file = end == std::string_view::npos ? std::string_view() : file.substr(end + 1);
        // ID:CONTROLLERS:PATH; the path may hold colons of its own.
        size_t first = line.find(':');
        size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos)
            continue;
        std::string_view id = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty())
            return std::string(path);
        if (controllers == "name=systemd" && !named)
            named = std::string(path);
    }
    return named;
}

namespace {

// A mountinfo path: spaces, tabs, newlines and backslashes are octal escapes.
std::string unescape_mount_path(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && s.size() - i >= 4 && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out +=
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string_view> words_of_line(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        size_t end = line.find(' ', i);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > i)
            words.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

} // namespace

std::optional<cgroup2_mount> parse_cgroup2_mount(std::string_view mountinfo)
{
    while (!mountinfo.empty()) {
        size_t end = mountinfo.find('\n');
        std::string_view line = mountinfo.substr(0, end);
        mountinfo = end == std::string_view::npos ? std::string_view() : mountinfo.substr(end + 1);
        // ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
        std::vector<std::string_view> w = words_of_line(line);
        size_t dash = 6;
        while (dash < w.size() && w[dash] != "-")
            dash++;
        if (w.size() < 5 || dash + 1 >= w.size() || w[dash + 1] != "cgroup2")
            continue;
        return cgroup2_mount{unescape_mount_path(w[3]), unescape_mount_path(w[4])};
    }
    return std::nullopt;
}

std::optional<std::string> cgroup_path_of(const cgroup2_mount &mount, std::string_view link)
{
    std::string_view point = mount.mount_point;
    if (link.substr(0, point.size()) != point)
        return std::nullopt;
    std::string_view rest = link.substr(point.size());
    if (!rest.empty() && rest[0] != '/')
        return std::nullopt;
    std::string root = mount.root == "/" ? "" : mount.root;
    std::string path = root + std::string(rest);
    return path.empty() ? "/" : path;
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
