# Writes a C++ source holding the kernel programs' minimal BTF for the kernel
# the build runs on, with that kernel's release and BTF size, so that the
# programs load without parsing the whole kernel BTF when forklog runs on the
# same kernel. Run with -DBTF=<file or empty> -DOUT=<source>.
set(release "")
set(btf_size 0)
set(bytes "")
if(EXISTS "${BTF}" AND EXISTS /sys/kernel/btf/vmlinux)
    execute_process(COMMAND uname -r OUTPUT_VARIABLE release OUTPUT_STRIP_TRAILING_WHITESPACE)
    file(SIZE /sys/kernel/btf/vmlinux btf_size)
    file(READ "${BTF}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
endif()
file(WRITE "${OUT}.tmp" "// Generated at build time by cmake/embed_kernel_btf.cmake.
#include \"platform/linux/sources/ebpf/kernel_btf.h\"

namespace linux_layer {

const kernel_btf BUILD_KERNEL_BTF = {
    \"${release}\",
    ${btf_size},
    {${bytes}},
};

} // namespace linux_layer
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
