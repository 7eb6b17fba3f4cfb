// Parsing what /proc files hold, over their bytes, apart from reading them.
#pragma once

#include <optional>
#include <string>
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

// The control group path of a /proc/PID/cgroup file: the unified
// hierarchy's ("0::PATH", on plain v2 and hybrid systems alike), else, on
// a system of v1 controllers alone, systemd's named hierarchy's; none when
// it shows neither. Paths are as the reader's cgroup namespace sees them.
std::optional<std::string> parse_cgroup(std::string_view file);

// Where the unified control group tree is mounted, from a
// /proc/PID/mountinfo file: the tree's path that the mount shows (its
// root) and the mount point.
struct cgroup2_mount {
    std::string root;
    std::string mount_point;
};
std::optional<cgroup2_mount> parse_cgroup2_mount(std::string_view mountinfo);

// The control group path of a directory at link (a path in the mount), as
// /proc/PID/cgroup shows it; none when link is not in the mount.
std::optional<std::string> cgroup_path_of(const cgroup2_mount &mount, std::string_view link);

// The pid that a /proc directory entry names; 0 for any other entry.
int parse_pid_entry(const char *name);

} // namespace linux_layer
