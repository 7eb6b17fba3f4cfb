// Start-up: the event queue, the process-information handle, the command,
// and every watch of the run.
#pragma once

// Runs the start-up sequence for the command at argv[first] (none when first
// equals argc). Returns 0, or -1 when the process snapshot could not be read;
// ends the process with status 1 on any other failure.
int start_up(int argc, char *argv[], int first);

// Forks the command's process and sets root_pid to its pid.
void start_command(char *argv[], int first);

// Watches every suitable process of a snapshot; false when no snapshot.
bool watch_all_processes();

// Watches root_pid and its future descendants.
void watch_root();
