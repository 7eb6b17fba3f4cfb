// The paths of control groups by the ids the kernel programs record: each id
// names a directory of the unified tree, opened by handle and read back as
// a path, as /proc/PID/cgroup would show it. Paths found are kept for the
// run, up to a bound.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/linux/proc/proc_parse.h"

namespace linux_layer {

class cgroup_paths {
public:
    cgroup_paths() = default;
    ~cgroup_paths();
    cgroup_paths(const cgroup_paths &) = delete;
    cgroup_paths &operator=(const cgroup_paths &) = delete;

    // The path of the group with this id; none when it has gone, or where
    // there is no unified tree or the tool cannot open by handle.
    std::optional<std::string> path_of(uint64_t id);

private:
    // The tree's mount, opened on the first call; false where there is none.
    bool open_tree();

    static constexpr size_t KEPT_PATHS = 4096;
    bool tried_ = false;
    int tree_fd_ = -1;
    cgroup2_mount mount_;
    std::unordered_map<uint64_t, std::string> known_;
};

} // namespace linux_layer
