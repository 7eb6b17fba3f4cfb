// The netlink process-events connector as an event source: fork, exec and
// exit events of every process, without the facts of an exec.
#pragma once

#include <memory>

#include "platform/linux/event_source.h"

namespace linux_layer {

// The source, or null with errno (as without the privilege); EOPNOTSUPP
// inside a pid namespace, where the kernel sends it nothing.
std::unique_ptr<event_source> open_netlink_source();

} // namespace linux_layer
