// The exec line: one per exec of a watched process.
#pragma once

// Reports the exec of pid: its line (after a re-exec line in the timing
// mode), or nothing when pid is not below the watched root.
void report_exec(int pid);
