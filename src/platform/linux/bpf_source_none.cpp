// The build without the eBPF source: the connector is the only one.
#include <cerrno>

#include "platform/linux/exec_facts.h"
#include "platform/linux/layer.h"

namespace linux_layer {

int bpf_source_open()
{
    errno = ENOSYS;
    return -1;
}

int bpf_source_drain()
{
    return 0;
}

bool bpf_source_sleep()
{
    return true;
}

void bpf_source_awake() {}

void bpf_source_watch(int, uint32_t) {}

void source_want_env(bool) {}

} // namespace linux_layer
