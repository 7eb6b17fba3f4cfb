// The layer's one way to tell the user something on standard error.
#pragma once

namespace posix_layer {

// Writes "forklog: " and the formatted text as one line.
[[gnu::format(printf, 1, 2)]] void message(const char *format, ...);

} // namespace posix_layer
