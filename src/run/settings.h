// The run-wide settings: filled from the command line, read by every part.
#pragma once

#include <cstdio>

#include "platform/platform.h"

struct run_settings_record {
    bool show_cwd;  // -d
    bool show_env;  // -e
    bool flat;      // -f
    bool full_path; // -l
    bool quiet;     // -q
    bool timing;    // -t
    bool show_user; // -u
    FILE *output;   // -o FILE, standard output otherwise
    int root_pid;   // 1 means the whole system
    int kq;
    os::kvm_t *kd;
    bool quit;
};

extern run_settings_record run_settings;

// Sets every field to its value before parsing.
void run_settings_reset();
