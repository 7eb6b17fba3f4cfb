// The run-wide settings: filled from the command line, read by every part.
#pragma once

#include <cstdio>

#include "platform/platform.h"

struct run_settings_record {
    bool show_cwd = false;                       // -d
    bool show_env = false;                       // -e
    bool flat = false;                           // -f
    bool json = false;                           // -j: JSON Lines
    bool full_path = false;                      // -l
    bool quiet = false;                          // -q
    bool timing = false;                         // -t
    bool show_user = false;                      // -u
    FILE *output = nullptr;                      // -o FILE; standard output from parsing on
    const char *output_name = "standard output"; // for messages
    bool output_failed = false;                  // a write failed: the run is ending
    bool terminal = false; // output is a terminal: bytes it acts on are escaped
    int root_pid = 1;      // 1 means the whole system
    bool command = false;  // root_pid is the command the tool started
    int kq = -1;
    os::kvm_t *kd = nullptr;
    bool quit = false;
    bool interrupted = false; // SIGINT: the run ends without waiting for the output
    int exit_status = 0;      // the command's, once it has been reaped
};

extern run_settings_record run_settings;

// Whether the run watches the whole system (no -p, no command).
inline bool whole_system_scope()
{
    return !run_settings.command && run_settings.root_pid == 1;
}

// Sets every field back to its value before parsing.
void run_settings_reset();
