// The run-wide settings: filled from the command line, read by every part.
#pragma once

#include <cstdio>

#include "platform/platform.h"

struct run_settings_record {
    bool show_cwd = false;  // -d
    bool show_env = false;  // -e
    bool flat = false;      // -f
    bool full_path = false; // -l
    bool quiet = false;     // -q
    bool timing = false;    // -t
    bool show_user = false; // -u
    FILE *output = nullptr; // -o FILE; standard output from parsing on
    int root_pid = 1;       // 1 means the whole system
    int kq = -1;
    os::kvm_t *kd = nullptr;
    bool quit = false;
};

extern run_settings_record run_settings;

// Sets every field back to its value before parsing.
void run_settings_reset();
