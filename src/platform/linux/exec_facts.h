// The facts of one exec as the kernel recorded them at that exec, for an
// event source that can record them; they answer the queries about the
// process while its exec note is being reported.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace linux_layer {

struct exec_facts {
    os::kinfo_proc record;
    std::vector<char> argv_bytes; // NUL-separated words
    std::vector<char> env_bytes;
    std::string exe;
    std::string cwd;
    bool argv_ok = false;
    bool env_ok = false;
    bool argv_cut = false; // the bytes are the start of a larger area
    bool env_cut = false;
    bool exe_ok = false;
    bool cwd_ok = false;
};

// The facts for pid's note in the batch being reported, or null.
const exec_facts *current_facts(int pid);

// A source's exec with its facts: one note of its own, never merged.
void on_exec_facts(int tgid, int64_t ns, std::shared_ptr<exec_facts> facts);

// Whether the event source records each exec's environment; said once,
// before any process is watched.
void source_want_env(bool wanted);

} // namespace linux_layer
