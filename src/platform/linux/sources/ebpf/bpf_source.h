// The eBPF event source: kernel programs on the fork, exec and exit
// tracepoints record every watched process's events, with the facts of each
// exec, into one ring buffer that is read in order.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/event_source.h"

namespace linux_layer {

// The source, or null with errno when the programs cannot be loaded here
// (ENOSYS in a build without them). *why then says why in one line, unless
// the tool lacks the privilege to load them, which goes without a word.
std::unique_ptr<event_source> open_bpf_source(std::string *why);

} // namespace linux_layer
