// An exec's facts read from /proc while the process is still in that exec:
// at the tracer's exec stop, or the moment the connector tells of the exec,
// before the program can end and take its arguments with it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/exec_facts.h"
#include "platform/linux/procfs.h"

namespace linux_layer {

// pid's facts at the exec of time ns. known, when given, is its record as
// the layer saw it created (creator, start and user): only its user is read
// then, and the facts stand even when the process ended meanwhile. What goes
// first at a process's end is read first. Null when even its record cannot
// be read (it is gone).
std::shared_ptr<exec_facts> read_exec_facts(const procfs &proc, int pid, int64_t ns,
                                            const facts_wanted &wanted,
                                            const os::kinfo_proc *known);

} // namespace linux_layer
