// An exec's facts read from /proc while the process is still in that exec:
// at the tracer's exec stop, or the moment the connector tells of the exec,
// before the program can end and take its arguments with it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/exec_facts.h"
#include "platform/linux/proc/procfs.h"

namespace linux_layer {

// What the layer knows of a process before its exec's facts are read.
struct known_creation {
    os::kinfo_proc record; // creator, start and user as the layer saw them
    // Whether the facts stand, with the known user, when the process ends
    // while they are read; else a process gone meanwhile has none.
    bool stands_if_gone;
};

// pid's facts at the exec of time ns. With known, only its user is read of
// its record. What goes first at a process's end is read first. Null when
// the process is gone and nothing known stands for it.
std::shared_ptr<exec_facts> read_exec_facts(const procfs &proc, int pid, int64_t ns,
                                            const facts_wanted &wanted,
                                            const known_creation *known);

// Reads pid's control group into facts; false when it cannot be read.
bool read_cgroup(const procfs &proc, int pid, exec_facts &facts);

} // namespace linux_layer
