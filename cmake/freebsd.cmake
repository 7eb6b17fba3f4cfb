# The FreeBSD layer: the kernel's event queue, libkvm and sysctl.
add_library(forklog_freebsd STATIC
    src/platform/freebsd/adapter.cpp
    src/platform/freebsd/options.cpp
    src/platform/freebsd/process_records.cpp
    src/platform/freebsd/process_watch.cpp
    src/platform/posix/journal_unavailable.cpp
)
target_include_directories(forklog_freebsd PUBLIC src)
target_link_libraries(forklog_freebsd PUBLIC forklog_posix kvm)
