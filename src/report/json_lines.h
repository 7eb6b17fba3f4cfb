// The lines of the JSON Lines mode (-j): one object per line, flushed each.
#pragma once

#include "platform/platform.h"
#include "procdb/pid_db.h"

// An exec: time, pid, ppid, depth, the command word and arguments, and the
// optional fields the options ask for.
void json_exec(int pid, int depth, const os::kinfo_proc *kp, char **argv);

// An exec of a process that could not be read: what failed and why.
void json_unreadable(int pid, int depth, const os::kinfo_proc *kp, const char *what, int error);

// The end of a program image replaced by a second exec, in the timing mode.
void json_execed(int pid, int depth, const os::kinfo_proc *kp, const char *cmd, double run_time);

// The end of a process, in the timing mode, from its released slot.
void json_exit(int pid, const pid_db_entry *slot, int status, double run_time);
