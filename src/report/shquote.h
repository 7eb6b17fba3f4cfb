// Shell-quoted words: the one way a word taken from a process reaches the output.
#pragma once

// Writes word to the run's output bare when no shell would read any of its
// bytes specially, otherwise in apostrophes that a shell reads back as the
// same bytes. When the output is a terminal, bytes the terminal would act on
// are written as dollar-quoted escapes. No separator, no newline, no flush.
void print_shquoted(const char *word);

// The same for the value of an environment entry written as NAME=value,
// where a shell would also expand a "~" that follows ":".
void print_shquoted_value(const char *word);

// The same for the command word of a line, which a shell would also read as
// a reserved word (if, time, coproc ...) when bare.
void print_shquoted_command(const char *word);
