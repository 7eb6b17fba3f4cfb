// libbpf's messages of a failed load become one line naming the program and
// the verifier's reason, never the verifier's statistics or raw control bytes.
#include <cerrno>
#include <gtest/gtest.h>
#include <string>

#include "platform/linux/sources/ebpf/bpf_load_log.h"

namespace {

using linux_layer::load_failure_reason;

struct log_case {
    const char *what;
    int error; // the load's errno
    std::string log;
    std::string reason;
    bool verifier;
};

const log_case CASES[] = {
    {"a verifier rejection", EACCES,
     "libbpf: prog 'on_exec': BPF program load failed: Permission denied\n"
     "libbpf: prog 'on_exec': -- BEGIN PROG LOAD LOG --\n"
     "0: R1=ctx(off=0,imm=0) R10=fp0\n"
     "; int BPF_PROG(on_exec, struct task_struct *task)\n"
     "R1 unbounded memory access, make sure to bounds check any such access\n"
     "processed 1052 insns (limit 1000000) max_states_per_insn 2 total_states 61\n"
     "-- END PROG LOAD LOG --\n"
     "libbpf: prog 'on_exec': failed to load: -13\n"
     "libbpf: failed to load object 'forklog_bpf'\n",
     "on_exec: R1 unbounded memory access, make sure to bounds check any such access", true},
    {"a helper the kernel lacks, then its statistics", EINVAL,
     "libbpf: prog 'on_exec': -- BEGIN PROG LOAD LOG --\n"
     "unknown func bpf_loop#181\n"
     "verification time 38 usec\n"
     "stack depth 0+0\n"
     "processed 12 insns (limit 1000000)\n"
     "-- END PROG LOAD LOG --\n",
     "on_exec: unknown func bpf_loop#181", true},
    {"no verifier log: libbpf's last word but its summary", EINVAL,
     "libbpf: map 'events': failed to create: Invalid argument(-22)\n"
     "libbpf: failed to load object 'forklog_bpf'\n",
     "map 'events': failed to create: Invalid argument(-22)", false},
    {"a program the verifier passed, then no descriptor for it", EMFILE,
     "libbpf: prog 'on_exec': BPF program load failed: Too many open files\n"
     "libbpf: prog 'on_exec': -- BEGIN PROG LOAD LOG --\n"
     "Validating copy_step() func#2...\n"
     "Func#2 ('copy_step') is safe for any args that match its prototype\n"
     "processed 900 insns (limit 1000000)\n"
     "-- END PROG LOAD LOG --\n"
     "libbpf: prog 'on_exec': failed to load: -24\n"
     "libbpf: failed to load object 'forklog_bpf'\n"
     "libbpf: failed to load BPF skeleton 'forklog_bpf': -24\n",
     "on_exec: failed to load: -24", false},
    {"a program that failed to attach", EMFILE,
     "libbpf: prog 'on_fork': failed to auto-attach: -24\n", "on_fork: failed to auto-attach: -24",
     false},
    {"control bytes in the log", EINVAL, "libbpf: bad \x1b[2J name\n", "bad ?[2J name", false},
    {"nothing said", EINVAL, "", "", false},
};

TEST(bpf_load_log, a_failed_load_is_told_by_program_and_reason)
{
    for (const log_case &c : CASES) {
        bool verifier = !c.verifier;
        EXPECT_EQ(load_failure_reason(c.log, c.error, &verifier), c.reason) << c.what;
        EXPECT_EQ(verifier, c.verifier) << c.what;
    }
}

} // namespace
