// The exit line of the timing mode, and the release of the process's slot.
#pragma once

// Frees pid's slot; in the timing mode writes its exit line from that slot.
void report_exit(int pid, int status);

// The short name of signal sig, or null for a signal past the name table.
const char *signal_name(int sig);
