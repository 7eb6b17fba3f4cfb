// The command line: options into run settings, and the usage text.
#pragma once

// Fills run_settings from the command line and returns the index of the
// command's first word (argc when there is none). Ends the process with
// status 1 on bad use or when an -o file cannot be opened.
int parse_options(int argc, char *argv[]);

// Writes the usage text to standard error and ends with status 1.
[[noreturn]] void usage();
