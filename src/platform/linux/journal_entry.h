// A journal entry in the journal's native format, for the entries that
// libsystemd cannot send: it writes each entry with one vector element per
// field part, and a vector longer than the system allows (an exec with a few
// hundred arguments, each a field) fails with EINVAL.
#pragma once

#include <string>

#include "platform/platform.h"

namespace linux_layer {

// Field parts libsystemd writes for n fields at most: up to five each, and
// three more. Over the system's limit of 1024, it cannot send the entry.
constexpr int JOURNAL_SENDV_MAX_FIELDS = (1024 - 3) / 5;

// The entry as the journal reads it from a datagram or a sealed memory
// file: "NAME=value\n" per field, or, for a value with a newline,
// "NAME\n", its size as 64-bit little-endian, the value and "\n".
std::string journal_entry_bytes(const os::journal_field *fields, int n);

} // namespace linux_layer
