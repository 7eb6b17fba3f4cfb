// JSON Lines: the pieces of an object that every line of the -j mode uses.
#pragma once

#include "platform/platform.h"

// Writes bytes as a JSON string. Valid UTF-8 stays as it is but for the
// characters a terminal acts on (C0 and C1 controls, delete), which become
// escapes; each byte that is not part of valid UTF-8 becomes the escape of
// the lone surrogate U+DC00 plus that byte, so that the bytes come back
// exactly as the "surrogateescape" error handler decodes them.
void print_json_string(const char *bytes);

// Writes tv as a JSON string in RFC 3339, UTC, with microseconds.
void print_json_time(os::timeval tv);

// Writes ,"name": before a value.
void print_json_key(const char *name);
