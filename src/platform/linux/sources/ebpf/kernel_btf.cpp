// Choosing the build's kernel BTF when the running kernel is the same.
#include "platform/linux/sources/ebpf/kernel_btf.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace linux_layer {

matching_kernel_btf::matching_kernel_btf()
{
    const kernel_btf &b = BUILD_KERNEL_BTF;
    struct utsname u;
    struct stat st;
    if (b.bytes.empty() || uname(&u) == -1 || strcmp(u.release, b.release) != 0 ||
        stat("/sys/kernel/btf/vmlinux", &st) == -1 ||
        static_cast<uint64_t>(st.st_size) != b.vmlinux_size)
        return;
    // libbpf reads type information from a path: a memory file serves.
    fd_ = memfd_create("forklog-btf", MFD_CLOEXEC);
    if (fd_ == -1)
        return;
    if (write(fd_, b.bytes.data(), b.bytes.size()) != static_cast<ssize_t>(b.bytes.size()))
        return;
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

matching_kernel_btf::~matching_kernel_btf()
{
    if (fd_ != -1)
        close(fd_);
}

} // namespace linux_layer
