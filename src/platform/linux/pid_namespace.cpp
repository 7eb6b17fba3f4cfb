// Finding the tool's pid namespace.
#include <sys/stat.h>

#include "platform/linux/pid_namespace.h"

namespace linux_layer {

namespace {
// The initial pid namespace's inode number, fixed by the kernel.
constexpr uint32_t INITIAL_PID_NAMESPACE = 0xeffffffc;
} // namespace

bool own_pid_namespace(uint32_t *inum)
{
    struct stat st;
    if (stat("/proc/self/ns/pid", &st) == -1)
        return false;
    *inum = static_cast<uint32_t>(st.st_ino);
    return true;
}

bool in_initial_pid_namespace()
{
    uint32_t inum;
    return !own_pid_namespace(&inum) || inum == INITIAL_PID_NAMESPACE;
}

} // namespace linux_layer
