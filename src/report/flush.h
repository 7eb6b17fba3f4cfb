// Ending an output line: every line reaches the output whole, or the run ends.
#pragma once

// Flushes the output after a line. When the output cannot be written the run
// ends with status 1 and one message naming the output and the error; a
// reader that has gone (a broken pipe) ends it without the message.
void flush_line();

// SIGHUP with -o FILE: the lines from the next on go to FILE opened anew,
// appending, so that a file renamed away for rotation gets no more.
void reopen_output();

// Waits for the lines written to reach the output, except after an
// interrupt; lines that never reached it are counted in a message and end
// the run with status 1.
void finish_output();
