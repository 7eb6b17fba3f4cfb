// The pid table: a fixed array searched from the front, with an overflow slot.
#include "procdb/pid_db.h"

#include <cstdio>
#include <cstring>

pid_db_entry pid_db[PID_DB_SIZE];

namespace {
constexpr int OVERFLOW_SLOT = PID_DB_SIZE - 1;
}

// A process keeps its own slot even when a free one lies before it, so that
// a pid never holds two slots: its re-exec finds its slot, and no stale
// slot is left to speak for a later process with the same pid.
int pid_db_claim(int pid)
{
    int free_slot = -1;
    for (int i = 0; i < OVERFLOW_SLOT; i++) {
        if (pid_db[i].pid == pid)
            return i;
        if (pid_db[i].pid == 0 && free_slot == -1)
            free_slot = i;
    }
    if (free_slot != -1)
        return free_slot;
    fprintf(stderr, "forklog: warning: pid_db of size %d overflowed\n", PID_DB_SIZE);
    return OVERFLOW_SLOT;
}

void pid_db_set_cmd(pid_db_entry *slot, const char *word)
{
    size_t n = strnlen(word, sizeof slot->cmd - 1);
    memcpy(slot->cmd, word, n);
    slot->cmd[n] = '\0';
}

int pid_db_release(int pid)
{
    for (int i = 0; i < PID_DB_SIZE; i++) {
        if (pid_db[i].pid == pid) {
            pid_db[i].pid = 0;
            return i;
        }
    }
    return -1;
}

double elapsed_seconds(os::timeval start, os::timeval *now)
{
    os::gettimeofday(now);
    int64_t sec = now->tv_sec - start.tv_sec;
    int64_t usec = now->tv_usec - start.tv_usec;
    if (usec < 0) {
        usec += 1000000;
        sec -= 1;
    }
    return static_cast<double>(usec) / 1000000.0 + static_cast<double>(sec);
}
