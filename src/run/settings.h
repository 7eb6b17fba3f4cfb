// The run-wide settings: filled from the command line, read by every part.
// The reports and the process table read their parts of it through
// headers of their own.
#pragma once

#include "platform/platform.h"
#include "procdb/procdb_settings.h"
#include "report/report_settings.h"

struct run_settings_record : report_settings_record, procdb_settings_record {
    int kq = -1;
    bool quit = false;
    int exit_status = 0; // the command's, once it has been reaped
};

extern run_settings_record run_settings;

// Sets every field back to its value before parsing.
void run_settings_reset();
