// The kernel type information the kernel programs need, taken at build time
// from the kernel the build ran on. Loading with it saves parsing the whole
// kernel BTF (about 5 MB, most of the start-up time); it is used only when
// forklog runs on that same kernel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linux_layer {

struct kernel_btf {
    const char *release;        // uname -r of the build's kernel; empty: none
    uint64_t vmlinux_size;      // the size of its /sys/kernel/btf/vmlinux
    std::vector<uint8_t> bytes; // the types the programs use, as BTF
};

extern const kernel_btf BUILD_KERNEL_BTF;

// The build's BTF as a file, while the running kernel is the build's, for
// loading the programs.
class matching_kernel_btf {
public:
    matching_kernel_btf();
    ~matching_kernel_btf();
    matching_kernel_btf(const matching_kernel_btf &) = delete;
    matching_kernel_btf &operator=(const matching_kernel_btf &) = delete;

    // Its path; null on another kernel (the whole kernel BTF is used then).
    const char *path() const { return path_.empty() ? nullptr : path_.c_str(); }

private:
    int fd_ = -1;
    std::string path_;
};

} // namespace linux_layer
