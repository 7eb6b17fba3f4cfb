// Choosing the build's kernel BTF when the running kernel is the same.
#include "platform/linux/kernel_btf.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace linux_layer {

const char *matching_kernel_btf()
{
    static std::string path;
    const kernel_btf &b = BUILD_KERNEL_BTF;
    struct utsname u;
    struct stat st;
    if (b.bytes.empty() || uname(&u) == -1 || strcmp(u.release, b.release) != 0 ||
        stat("/sys/kernel/btf/vmlinux", &st) == -1 ||
        static_cast<uint64_t>(st.st_size) != b.vmlinux_size)
        return nullptr;
    // libbpf reads type information from a path: a memory file serves.
    int fd = memfd_create("forklog-btf", MFD_CLOEXEC);
    if (fd == -1)
        return nullptr;
    if (write(fd, b.bytes.data(), b.bytes.size()) != static_cast<ssize_t>(b.bytes.size())) {
        close(fd);
        return nullptr;
    }
    path = "/proc/self/fd/" + std::to_string(fd);
    return path.c_str();
}

} // namespace linux_layer
