// Shell-quoted words: the one way a word taken from a process reaches the output.
#pragma once

// Writes word to the run's output bare when no shell would read any of its
// bytes specially, otherwise in apostrophes that a shell reads back as the
// same bytes. No separator, no newline, no flush.
void print_shquoted(const char *word);
