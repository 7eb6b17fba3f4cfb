// What the process table and the depth walk read of the run: the scope
// (the watched root) and the handle on the system's process information. Part of the
// run-wide record; start-up fills it.
#pragma once

#include "platform/platform.h"

struct procdb_settings_record {
    int root_pid = 1;     // 1 means the whole system
    bool command = false; // root_pid is the command the tool started
    os::kvm_t *kd = nullptr;
};

extern procdb_settings_record &procdb_settings;

// Whether the run watches the whole system (no -p, no command).
inline bool whole_system_scope()
{
    return !procdb_settings.command && procdb_settings.root_pid == 1;
}
