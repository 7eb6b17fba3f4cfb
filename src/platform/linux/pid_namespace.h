// The pid namespace the tool lives in: every pid it reads, watches and
// writes is a pid of this namespace.
#pragma once

#include <cstdint>

namespace linux_layer {

// The inode number of the tool's pid namespace; false when /proc cannot tell.
bool own_pid_namespace(uint32_t *inum);
bool in_initial_pid_namespace();

} // namespace linux_layer
