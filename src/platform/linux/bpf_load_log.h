// What libbpf said while the kernel programs failed to load, turned into
// one line for the user: the program the kernel refused and the verifier's
// own reason, or else libbpf's last word.
#pragma once

#include <string>

namespace linux_layer {

// The reason in log (libbpf's messages, one per line, the verifier's log
// among them), or empty when the log says nothing; *verifier says whether
// it is the verifier's.
std::string load_failure_reason(const std::string &log, bool *verifier);

} // namespace linux_layer
