// Answers to the queries the reports make about one process: its argument
// and environment vectors, working directory and executable. The facts its
// exec recorded answer first, /proc where there are none.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/linux/exec_facts.h"
#include "platform/linux/proc/procfs.h"

namespace linux_layer {

class process_queries {
public:
    explicit process_queries(const procfs &proc) : proc_(proc) {}

    // Null-terminated vectors, valid until the next call of either; null
    // with errno. facts may be null.
    char **argv(int pid, const exec_facts *facts);
    char **envv(int pid, const exec_facts *facts);

    // The path, NUL-terminated, into buf of size bytes; its length or -1.
    int cwd(int pid, const exec_facts *facts, char *buf, size_t size);
    int exe(int pid, const exec_facts *facts, char *buf, size_t size);
    // The control group's path, likewise.
    int cgroup(int pid, const exec_facts *facts, char *buf, size_t size);

private:
    struct vector_storage {
        std::vector<char> bytes;
        std::vector<char *> words;
    };

    char **read_vector(int pid, const char *file, bool need_one, vector_storage &v);
    char **cut_vector(int pid, const char *file, const char *what, const std::vector<char> &start,
                      vector_storage &v);

    const procfs &proc_;
    vector_storage argv_;
    vector_storage env_;
};

} // namespace linux_layer
