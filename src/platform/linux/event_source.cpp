// Choosing the event source for a run.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/linux/event_source.h"
#include "platform/linux/sources/ebpf/bpf_source.h"
#include "platform/linux/sources/netlink/netlink_source.h"
#include "platform/linux/sources/ptrace/ptrace_source.h"
#include "platform/linux/sources/source_list.h"
#include "platform/posix/message.h"

namespace linux_layer {

using namespace posix_layer;

namespace {

struct source_kind {
    // The source, or null with errno and, where the failure needs telling
    // whatever the source used instead, *why.
    std::unique_ptr<event_source> (*open)(bool whole_system, const procfs &proc, std::string *why);
    // Says what a failure with errno e means, where the system's error text
    // would not; may be null.
    void (*explain)(int e, bool whole_system);
    const char *what;         // in "... could not be loaded"
    const char *used_instead; // in "...; using ..."
};

std::unique_ptr<event_source> open_bpf(bool, const procfs &, std::string *why)
{
    return open_bpf_source(why);
}

std::unique_ptr<event_source> open_netlink(bool, const procfs &, std::string *)
{
    return open_netlink_source();
}

std::unique_ptr<event_source> open_ptrace(bool whole_system, const procfs &proc, std::string *)
{
    return open_ptrace_source(whole_system, proc);
}

void explain_netlink(int e, bool)
{
    if (e == EOPNOTSUPP)
        message("the netlink connector cannot be used inside a pid namespace; "
                "the kernel programs (an eBPF build, run as root) are needed there");
}

void explain_ptrace(int, bool whole_system)
{
    if (whole_system)
        message("the ptrace source follows a command or a process (-p), not the whole system");
}

// In the order of SOURCE_LIST.
constexpr source_kind SOURCES[] = {
    {open_bpf, nullptr, "the kernel programs", "the kernel programs"},
    {open_netlink, explain_netlink, "the netlink connector",
     "the netlink connector, which may miss programs that end at once"},
    {open_ptrace, explain_ptrace, "the ptrace tracer",
     "the ptrace tracer, which stops each traced process at its forks and execs"},
};
static_assert(std::size(SOURCES) == std::size(SOURCE_LIST), "every source has its kind");

struct failure {
    const source_kind *kind;
    int error;
    std::string why;
};

void tell(const failure &f, bool whole_system)
{
    if (!f.why.empty())
        message("%s could not be loaded: %s", f.kind->what, f.why.c_str());
    if (f.kind->explain)
        f.kind->explain(f.error, whole_system);
}

} // namespace

std::unique_ptr<event_source> open_event_source(bool whole_system, const procfs &proc)
{
    if (const char *chosen = getenv("FORKLOG_SOURCE"); chosen && *chosen) {
        for (size_t i = 0; i < std::size(SOURCES); i++) {
            if (strcmp(SOURCE_LIST[i].name, chosen) != 0)
                continue;
            failure f = {&SOURCES[i], 0, ""};
            std::unique_ptr<event_source> source = f.kind->open(whole_system, proc, &f.why);
            if (!source) {
                f.error = errno;
                tell(f, whole_system);
                errno = f.error;
            }
            return source;
        }
        std::string names;
        for (size_t i = 0; i < std::size(SOURCE_LIST); i++)
            names += std::string(i == 0                            ? ""
                                 : i + 1 == std::size(SOURCE_LIST) ? " or "
                                                                   : ", ") +
                     SOURCE_LIST[i].name;
        message("FORKLOG_SOURCE names no event source; set it to %s, or unset it", names.c_str());
        errno = EINVAL;
        return nullptr;
    }
    // Without the privilege a source fails with no news; any other reason
    // leaves a run that captures less, which the user must hear of, with the
    // source used instead. A source that cannot watch the whole system is
    // not tried for it.
    std::vector<failure> failures;
    for (size_t i = 0; i < std::size(SOURCES); i++) {
        if (whole_system && !SOURCE_LIST[i].whole_system)
            continue;
        failure f = {&SOURCES[i], 0, ""};
        if (std::unique_ptr<event_source> source = f.kind->open(whole_system, proc, &f.why)) {
            for (const failure &earlier : failures)
                if (!earlier.why.empty())
                    message("warning: %s could not be loaded: %s; using %s", earlier.kind->what,
                            earlier.why.c_str(), f.kind->used_instead);
            return source;
        }
        f.error = errno;
        failures.push_back(f);
    }
    for (const failure &f : failures)
        tell(f, whole_system);
    errno = failures.empty() ? EINVAL : failures.back().error;
    return nullptr;
}

} // namespace linux_layer
