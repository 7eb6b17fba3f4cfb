// Stopping the tool itself, as a stop signal stops any process.
#pragma once

namespace posix_layer {

// Stops the tool as sig (a stop signal) would, even while sig is blocked or
// ignored; returns once the tool is continued, sig's disposition and mask
// as before.
void stop_self(int sig);

} // namespace posix_layer
