// Control group ids to paths, through file handles of the unified tree.
#include "platform/linux/proc/cgroup_paths.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace linux_layer {

namespace {

// The handle type of a directory of the kernel's own file systems (kernfs),
// whose 8 bytes are the node's id, which is the group's id.
constexpr int FILEID_KERNFS = 0xfe;

} // namespace

cgroup_paths::~cgroup_paths()
{
    if (tree_fd_ != -1)
        close(tree_fd_);
}

bool cgroup_paths::open_tree()
{
    if (tried_)
        return tree_fd_ != -1;
    tried_ = true;
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    std::optional<cgroup2_mount> mount = parse_cgroup2_mount(text.str());
    if (!mount)
        return false;
    mount_ = *mount;
    tree_fd_ = open(mount_.mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return tree_fd_ != -1;
}

std::optional<std::string> cgroup_paths::path_of(uint64_t id)
{
    auto known = known_.find(id);
    if (known != known_.end())
        return known->second;
    if (!open_tree())
        return std::nullopt;
    alignas(file_handle) char room[sizeof(file_handle) + sizeof id] = {};
    auto *handle = reinterpret_cast<file_handle *>(room);
    handle->handle_bytes = sizeof id;
    handle->handle_type = FILEID_KERNFS;
    memcpy(handle->f_handle, &id, sizeof id);
    int dir = open_by_handle_at(tree_fd_, handle, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1)
        return std::nullopt;
    char link[PATH_MAX];
    std::string fd_path = "/proc/self/fd/" + std::to_string(dir);
    ssize_t n = readlink(fd_path.c_str(), link, sizeof link);
    close(dir);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof link)
        return std::nullopt;
    std::optional<std::string> path =
        cgroup_path_of(mount_, std::string_view(link, static_cast<size_t>(n)));
    if (!path)
        return std::nullopt;
    if (known_.size() >= KEPT_PATHS)
        known_.clear();
    known_.emplace(id, *path);
    return path;
}

} // namespace linux_layer
