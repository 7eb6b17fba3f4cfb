// The facts of a process that the optional fields of a line show, asked of
// the system when the line is written.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The account name of uid, or null when it has none.
const char *user_name(uint32_t uid);

// The path of the control group pid was in at its exec, or null when it
// cannot be read.
const char *control_group(int pid);

// pid's working directory, or null when it cannot be read.
const char *working_directory(int pid);

// The full path of pid's executable, or null when it cannot be read.
const char *executable_path(int pid);

// The time of the exec being reported: the system's record of it, or now.
os::timeval exec_time(const os::kinfo_proc *kp);
