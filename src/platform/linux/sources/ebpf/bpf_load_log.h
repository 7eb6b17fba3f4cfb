// What libbpf said while the kernel programs failed to load, turned into
// one line for the user: the program the kernel refused and the verifier's
// own reason, or else libbpf's last word.
#pragma once

#include <string>

namespace linux_layer {

// The reason in log (libbpf's messages, one per line, the verifier's log
// among them) for a load that failed with errno error, or empty when the
// log says nothing; *verifier says whether it is the verifier's. Only a
// refusal (EACCES, EINVAL) is the verifier's: a program it passed can still
// fail to load for want of a descriptor or of memory.
std::string load_failure_reason(const std::string &log, int error, bool *verifier);

} // namespace linux_layer
