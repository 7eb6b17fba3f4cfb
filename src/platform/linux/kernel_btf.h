// The kernel type information the kernel programs need, taken at build time
// from the kernel the build ran on. Loading with it saves parsing the whole
// kernel BTF (about 5 MB, most of the start-up time); it is used only when
// forklog runs on that same kernel.
#pragma once

#include <cstdint>
#include <vector>

namespace linux_layer {

struct kernel_btf {
    const char *release;        // uname -r of the build's kernel; empty: none
    uint64_t vmlinux_size;      // the size of its /sys/kernel/btf/vmlinux
    std::vector<uint8_t> bytes; // the types the programs use, as BTF
};

extern const kernel_btf BUILD_KERNEL_BTF;

// A path to the build's BTF when the running kernel is the build's, for
// loading the programs; null otherwise (the whole kernel BTF is used).
const char *matching_kernel_btf();

} // namespace linux_layer
