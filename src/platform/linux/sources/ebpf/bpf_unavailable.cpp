// The build without the kernel programs (no clang, bpftool or libbpf).
#include "platform/linux/sources/ebpf/bpf_source.h"

namespace linux_layer {

std::unique_ptr<event_source> open_bpf_source(std::string *why)
{
    why->clear();
    errno = ENOSYS;
    return nullptr;
}

} // namespace linux_layer
