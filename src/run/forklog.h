// The whole run: parse, start up, loop.
#pragma once

// Returns the process's exit status: the command's status when the run ended
// with the command's end, otherwise 0 at the end of the run; -1 (255) when
// the process snapshot could not be read. Bad use and start-up failures end
// the process with status 1 before returning.
int forklog_main(int argc, char *argv[]);
