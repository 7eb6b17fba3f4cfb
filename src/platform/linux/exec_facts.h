// The facts of one exec as the kernel recorded them at that exec, for an
// event source that can record them; they answer the queries about the
// process while its exec note is being reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace linux_layer {

// The facts the reports will need beyond a process's record and arguments.
struct facts_wanted {
    bool environment = false;
    bool cgroup = false;
};

struct exec_facts {
    os::kinfo_proc record = {};
    std::vector<char> argv_bytes; // NUL-separated words
    std::vector<char> env_bytes;
    std::string exe;
    std::string cwd;
    std::string cgroup;
    // The kernel programs record the group's id, which names its directory
    // in the unified hierarchy; 0 where it was not recorded.
    uint64_t cgroup_id = 0;
    bool argv_ok = false;
    bool env_ok = false;
    bool argv_cut = false; // the bytes are the start of a larger area
    bool env_cut = false;
    bool exe_ok = false;
    bool cwd_ok = false;
    bool cgroup_ok = false;
    // Read while the process was in this exec: what they lack could not be
    // had, and /proc, read later, could only show a later program or
    // another process that took the pid.
    bool final = false;
};

} // namespace linux_layer
