// The running system's process records through libkvm, in the seam's shape.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct __kvm;
struct kinfo_proc;

namespace freebsd_layer {

class process_records {
public:
    // creator gives the process that created a pid, where the layer saw
    // it; 0 where it did not.
    explicit process_records(std::function<int(int)> creator) : creator_(std::move(creator)) {}
    ~process_records();
    process_records(const process_records &) = delete;
    process_records &operator=(const process_records &) = delete;

    // Opens the running system; false with errno.
    bool open();

    // Every process, one record each; null with the error kept.
    os::kinfo_proc *all(int *count);
    // pid's record; null with the error kept when it cannot be read.
    os::kinfo_proc *one(int pid);

    // The arguments or the environment of the process whose record the
    // last all or one gave as kp; null with the error kept.
    char **argv(const os::kinfo_proc *kp);
    char **envv(const os::kinfo_proc *kp);

    const char *error() const { return error_.c_str(); }

private:
    bool convert(const char *records, int count);
    const struct kinfo_proc *system_record(const os::kinfo_proc *kp);
    void keep_error(const char *what);

    std::function<int(int)> creator_;
    struct __kvm *kd_ = nullptr;
    std::vector<os::kinfo_proc> records_;
    std::vector<char> system_records_; // the same, as the system gave them
    std::vector<char> spare_;          // a record asked for again
    size_t record_size_ = 0;
    std::string error_;
};

} // namespace freebsd_layer
