// The tracer as an event source, for users without the privilege the other
// sources need: the tool traces the command (or a process of the user's own)
// and everything it starts, stopping each process only at its forks, clones
// and execs. At an exec stop the process waits while its facts are read, so
// they are exact.
#pragma once

#include <memory>

#include "platform/linux/event_source.h"
#include "platform/linux/proc/procfs.h"

namespace linux_layer {

// The source, reading the tracees' facts through proc; null with errno
// (EOPNOTSUPP) for the whole system, which a tracer cannot follow.
std::unique_ptr<event_source> open_ptrace_source(bool whole_system, const procfs &proc);

} // namespace linux_layer
