// Placing a process in the watched tree.
#pragma once

// Generations between pid and the watched root: 0 for the root itself, -1
// when pid is not below the root or a query failed (the failure is reported).
int process_depth(int pid);
