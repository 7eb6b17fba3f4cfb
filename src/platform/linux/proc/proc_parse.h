// Parsing what /proc files hold, over their bytes, apart from reading them.
#pragma once

#include <string_view>

namespace linux_layer {

struct stat_fields {
    int ppid;
    char state; // as /proc shows it: R, S, D, Z, X, ...
    int threads;
    unsigned long long start_ticks;
};

// The fields of a /proc/PID/stat line that the layer uses; false when the
// bytes are not such a line.
bool parse_stat(std::string_view bytes, stat_fields *out);

// The Tgid field of /proc/PID/status; -1 when it has none.
int parse_tgid(std::string_view status);
// The PPid line of a status file; -1 when it has none.
int parse_ppid(std::string_view status);

// The pid that a /proc directory entry names; 0 for any other entry.
int parse_pid_entry(const char *name);

} // namespace linux_layer
