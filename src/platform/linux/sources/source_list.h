// The event sources, by the names FORKLOG_SOURCE takes, in the order they
// are tried without one, and what each can do. The chooser's table follows
// this list; the live tests and the benchmarks take their sources from it.
#pragma once

namespace linux_layer {

struct source_traits {
    const char *name;     // as FORKLOG_SOURCE takes it
    const char *label;    // as the benchmarks show it
    bool whole_system;    // it can watch the whole system, not only a command or a process
    bool records_facts;   // it records each exec's facts at the exec
    bool kernel_programs; // it is made of kernel programs, built where clang and libbpf are
    bool caps_areas;      // it records the first MiB of a larger argument area
};

// The kernel programs record each exec's facts at the exec; the connector
// only says that an exec happened; the tracer needs no privilege but stops
// each traced process at its forks and execs.
constexpr source_traits SOURCE_LIST[] = {
    {"ebpf", "eBPF", true, true, true, true},
    {"netlink", "netlink", true, false, false, false},
    {"ptrace", "ptrace", false, true, false, false},
};

} // namespace linux_layer
