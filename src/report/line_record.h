// One line of the output as the reports describe it to the printers: which
// line it is, and the fields the options ask for with the bytes as read,
// null where a field could not be read. A field is one member here and one
// line in each printer.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum class line_kind {
    exec,       // a process exec'd
    unreadable, // a process exec'd and could not be read
    execed,     // timing: the image an exec replaced, and how long it ran
    exit,       // timing: a process ended
};

struct line_record {
    line_kind kind = line_kind::exec;
    int pid = 0;
    int depth = 0;
    // The process's record; null where it could not be read. The exec's
    // time comes from it (exec_time).
    const os::kinfo_proc *kp = nullptr;
    // The command word: with -l the executable's path where it can be read,
    // else argv[0]; for the re-exec and exit lines the word stored at the exec.
    const char *command = nullptr;
    // exec: the arguments as the process has them, argv[0] first.
    char *const *argv = nullptr;
    bool with_user = false; // -u: uid, and user (null without a name)
    uint32_t uid = 0;
    const char *user = nullptr;
    // -c: the control group's path (null where it cannot be read), which the
    // journal output holds without -c too.
    bool with_cgroup = false;
    const char *cgroup = nullptr;
    bool with_cwd = false; // -d
    const char *cwd = nullptr;
    bool with_exe = false; // -l
    const char *exe = nullptr;
    // -e: the environment, which a printer asks for with line_environment
    // once it is done with argv (asking may replace argv's storage).
    bool with_env = false;
    // unreadable: the call that failed and its errno.
    const char *failed_call = nullptr;
    int error = 0;
    // exit: the wait status; execed and exit: seconds since the exec.
    int status = 0;
    double run_time = 0;
};

// The environment of the record's process, or null when it cannot be read;
// its strings may be written to.
char **line_environment(const line_record &line);

// The short name of signal sig, or null past the end of the system's table.
const char *signal_name(int sig);

// Writes the line in the run's format and flushes it, but for a text line
// of a process that could not be read, whose newline waits for the next flush.
void write_line(const line_record &line);
