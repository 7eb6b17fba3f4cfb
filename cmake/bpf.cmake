# The eBPF event source: the kernel programs, compiled by clang for the bpf
# target and embedded through a bpftool skeleton, loaded with libbpf, as a part
# of the Linux layer. Without those tools forklog is built with the netlink
# connector alone.
find_program(FORKLOG_CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(FORKLOG_BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(LIBBPF QUIET IMPORTED_TARGET libbpf)
endif()

if(FORKLOG_CLANG AND FORKLOG_BPFTOOL AND LIBBPF_FOUND)
    set(FORKLOG_BPF ON)
    message(STATUS "forklog: eBPF event source on (${FORKLOG_CLANG}, ${FORKLOG_BPFTOOL}, libbpf ${LIBBPF_VERSION})")
else()
    set(FORKLOG_BPF OFF)
    message(STATUS "forklog: eBPF event source off: it needs clang, bpftool and libbpf-dev; "
                   "forklog uses the netlink connector alone")
    return()
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|amd64")
    set(bpf_arch x86)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(bpf_arch arm64)
else()
    set(bpf_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(bpf_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/platform/linux/sources/ebpf/bpf)
set(bpf_object ${CMAKE_CURRENT_BINARY_DIR}/forklog.bpf.o)
set(bpf_skeleton ${CMAKE_CURRENT_BINARY_DIR}/forklog.skel.h)
add_custom_command(
    OUTPUT ${bpf_object}
    COMMAND ${FORKLOG_CLANG} -g -O2 -target bpf -D__TARGET_ARCH_${bpf_arch} -I${bpf_dir}
            -Wall -Werror -c ${bpf_dir}/forklog.bpf.c -o ${bpf_object}
    DEPENDS ${bpf_dir}/forklog.bpf.c ${bpf_dir}/kernel_types.h ${bpf_dir}/records.h
    COMMENT "Compiling the kernel programs")
add_custom_command(
    OUTPUT ${bpf_skeleton}
    COMMAND ${FORKLOG_BPFTOOL} gen skeleton ${bpf_object} name forklog_bpf > ${bpf_skeleton}
    DEPENDS ${bpf_object}
    COMMENT "Generating the kernel programs' skeleton")

# The types the programs use, from the build's own kernel, for a quick load
# on that kernel; empty where the build's kernel has no BTF.
set(bpf_min_btf ${CMAKE_CURRENT_BINARY_DIR}/forklog.min.btf)
set(bpf_btf_source ${CMAKE_CURRENT_BINARY_DIR}/kernel_btf_data.cpp)
add_custom_command(
    OUTPUT ${bpf_btf_source}
    COMMAND ${FORKLOG_BPFTOOL} gen min_core_btf /sys/kernel/btf/vmlinux ${bpf_min_btf} ${bpf_object}
            || ${CMAKE_COMMAND} -E rm -f ${bpf_min_btf}
    COMMAND ${CMAKE_COMMAND} -DBTF=${bpf_min_btf} -DOUT=${bpf_btf_source}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_kernel_btf.cmake
    DEPENDS ${bpf_object} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_kernel_btf.cmake
    COMMENT "Taking the programs' kernel types from this machine's kernel")

target_sources(forklog_linux PRIVATE src/platform/linux/sources/ebpf/bpf_source.cpp
               src/platform/linux/sources/ebpf/kernel_btf.cpp ${bpf_btf_source} ${bpf_skeleton})
target_include_directories(forklog_linux PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(forklog_linux PUBLIC PkgConfig::LIBBPF)
