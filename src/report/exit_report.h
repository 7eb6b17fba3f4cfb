// The exit line of the timing mode, and the release of the process's slot.
#pragma once

// Frees pid's slot; in the timing mode writes its exit line from that slot.
void report_exit(int pid, int status);
