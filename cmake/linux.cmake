# The Linux layer: event sources feed the tracker; the adapter answers the
# seam from it. The kernel programs' source joins it where the build can
# make them (cmake/bpf.cmake).
add_library(forklog_linux STATIC
    src/platform/linux/adapter.cpp
    src/platform/linux/sources/ebpf/bpf_load_log.cpp
    src/platform/linux/sources/ebpf/bpf_records.cpp
    src/platform/linux/clocks.cpp
    src/platform/linux/event_queue.cpp
    src/platform/linux/event_source.cpp
    src/platform/linux/journal_entry.cpp
    src/platform/linux/sources/netlink/netlink_events.cpp
    src/platform/linux/sources/netlink/netlink_source.cpp
    src/platform/linux/options.cpp
    src/platform/linux/pid_namespace.cpp
    src/platform/linux/proc/proc_parse.cpp
    src/platform/linux/proc/proc_facts.cpp
    src/platform/linux/proc/process_queries.cpp
    src/platform/linux/process_table.cpp
    src/platform/linux/proc/procfs.cpp
    src/platform/linux/proc/cgroup_paths.cpp
    src/platform/linux/sources/ptrace/ptrace_source.cpp
    src/platform/linux/sources/ptrace/tracee_stops.cpp
    src/platform/linux/signal_names.cpp
    src/platform/linux/tracker.cpp
)
target_include_directories(forklog_linux PUBLIC src)
target_link_libraries(forklog_linux PUBLIC forklog_posix)

include(cmake/bpf.cmake)
if(NOT FORKLOG_BPF)
    target_sources(forklog_linux PRIVATE src/platform/linux/sources/ebpf/bpf_unavailable.cpp)
endif()

# The journal output, where libsystemd's headers are installed; without
# them -J says that this build has no journal.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(LIBSYSTEMD IMPORTED_TARGET libsystemd)
endif()
if(LIBSYSTEMD_FOUND)
    message(STATUS "forklog: journal output on (libsystemd ${LIBSYSTEMD_VERSION})")
    target_sources(forklog_linux PRIVATE src/platform/linux/journal.cpp)
    target_link_libraries(forklog_linux PRIVATE PkgConfig::LIBSYSTEMD)
else()
    message(STATUS "forklog: journal output off: it needs libsystemd-dev")
    target_sources(forklog_linux PRIVATE src/platform/posix/journal_unavailable.cpp)
endif()
