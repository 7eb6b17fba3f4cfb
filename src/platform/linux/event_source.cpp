// Choosing the event source for a run.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/sources/ebpf/bpf_source.h"
#include "platform/linux/event_source.h"
#include "platform/posix/message.h"
#include "platform/linux/sources/netlink/netlink_source.h"
#include "platform/linux/sources/ptrace/ptrace_source.h"

namespace linux_layer {

using namespace posix_layer;

namespace {

struct source_kind {
    const char *name;
    std::unique_ptr<event_source> (*open)(bool whole_system, const procfs &proc);
};

std::unique_ptr<event_source> open_bpf(bool, const procfs &)
{
    std::string why;
    std::unique_ptr<event_source> source = open_bpf_source(&why);
    if (!source && !why.empty()) {
        int e = errno;
        message("the kernel programs could not be loaded: %s", why.c_str());
        errno = e;
    }
    return source;
}

std::unique_ptr<event_source> open_netlink(bool, const procfs &)
{
    return open_netlink_source();
}

// The sources by the names FORKLOG_SOURCE takes, in the order they are
// tried without one: the kernel programs record each exec's facts at the
// exec; the connector only says that an exec happened; the tracer needs no
// privilege but stops each traced process at its forks and execs.
constexpr source_kind SOURCES[] = {
    {"ebpf", open_bpf},
    {"netlink", open_netlink},
    {"ptrace", open_ptrace_source},
};

// Says why the connector failed, where the system's error text would not.
void explain_netlink_failure(int e)
{
    if (e == EOPNOTSUPP)
        message("the netlink connector cannot be used inside a pid namespace; "
                "the kernel programs (an eBPF build, run as root) are needed there");
}

} // namespace

std::unique_ptr<event_source> open_event_source(bool whole_system, const procfs &proc)
{
    if (const char *chosen = getenv("FORKLOG_SOURCE"); chosen && *chosen) {
        for (const source_kind &kind : SOURCES) {
            if (strcmp(kind.name, chosen) != 0)
                continue;
            std::unique_ptr<event_source> source = kind.open(whole_system, proc);
            if (!source && kind.open == open_netlink)
                explain_netlink_failure(errno);
            if (!source && kind.open == open_ptrace_source && whole_system)
                message("the ptrace source follows a command or a process (-p), not the whole "
                        "system");
            return source;
        }
        message("FORKLOG_SOURCE names no event source; set it to ebpf, netlink or ptrace, or "
                "unset it");
        errno = EINVAL;
        return nullptr;
    }
    // Without the privilege the kernel programs fail with no news; any
    // other reason leaves a run that captures less, which the user must
    // hear of, with the source used instead.
    std::string bpf_why;
    std::unique_ptr<event_source> source = open_bpf_source(&bpf_why);
    if (source)
        return source;
    source = open_netlink_source();
    if (source) {
        if (!bpf_why.empty())
            message("warning: the kernel programs could not be loaded: %s; using the netlink "
                    "connector, which may miss programs that end at once",
                    bpf_why.c_str());
        return source;
    }
    int netlink_why = errno;
    // Without the privilege a user can still trace a command or a process
    // of their own; the whole system stays refused.
    if (!whole_system && (source = open_ptrace_source(false, proc))) {
        if (!bpf_why.empty())
            message("warning: the kernel programs could not be loaded: %s; using the ptrace "
                    "tracer, which stops each traced process at its forks and execs",
                    bpf_why.c_str());
        return source;
    }
    if (!bpf_why.empty())
        message("the kernel programs could not be loaded: %s", bpf_why.c_str());
    explain_netlink_failure(netlink_why);
    errno = netlink_why;
    return nullptr;
}

} // namespace linux_layer
