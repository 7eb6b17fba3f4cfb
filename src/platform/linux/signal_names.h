// The short names that exit lines give signals.
#pragma once

namespace linux_layer {

// Names without "SIG" for every signal number below NSIG, real-time ones as
// RTMIN+n and RTMAX-n.
const char *const *signal_names();

} // namespace linux_layer
