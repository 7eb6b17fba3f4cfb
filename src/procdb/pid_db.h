// The table of processes that have had a reported exec.
#pragma once

#include "platform/platform.h"

constexpr int PID_DB_SIZE = 1024;

struct pid_db_entry {
    int pid; // 0: free
    int depth;
    os::timeval start; // run times count from here
    char cmd[32];      // latest command word, cut to 31 bytes
};

extern pid_db_entry pid_db[PID_DB_SIZE];

// The slot below the last that holds pid, else the first free one below
// the last; when there is none, the overflow warning and the last slot.
// Changes no slot.
int pid_db_claim(int pid);

// Stores word as the slot's command name, cut to its first 31 bytes.
void pid_db_set_cmd(pid_db_entry *slot, const char *word);

// Frees the first slot holding pid and returns it, its other fields intact;
// -1 when no slot holds pid.
int pid_db_release(int pid);

// Seconds from start to now; the clock reading made goes to *now.
double elapsed_seconds(os::timeval start, os::timeval *now);
