// What the reports read of the run: the options that shape a line, and the
// output. Part of the run-wide record; parsing the command line fills it,
// and the reports tell in it of an output that failed.
#pragma once

#include <cstdio>

struct report_settings_record {
    bool show_cgroup = false;                    // -c
    bool show_cwd = false;                       // -d
    bool show_env = false;                       // -e
    bool flat = false;                           // -f
    bool json = false;                           // -j: JSON Lines
    bool full_path = false;                      // -l
    bool quiet = false;                          // -q
    bool timing = false;                         // -t
    bool show_user = false;                      // -u
    bool every_end = false;                      // -x: an exit line for every watched process
    const char *timeline_path = nullptr;         // -T FILE: the run's timeline, written at its end
    FILE *timeline = nullptr;                    // opened when -T is read
    bool journal = false;                        // -J: each line an entry of the system journal
    FILE *output = nullptr;                      // -o FILE; standard output from parsing on
    const char *output_name = "standard output"; // for messages
    const char *output_path = nullptr;           // -o FILE, reopened on SIGHUP
    bool terminal = false;    // output is a terminal: bytes it acts on are escaped
    bool interrupted = false; // SIGINT: the run ends without waiting for the output
    // A write failed, or lines were not written: the run ends with status 1.
    bool output_failed = false;
};

extern report_settings_record &report_settings;
