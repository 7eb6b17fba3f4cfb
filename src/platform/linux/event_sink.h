// What an event source reports: the kernel's process events, in the order
// they happened. Times are on the monotonic clock.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/exec_facts.h"

namespace linux_layer {

class event_sink {
public:
    virtual ~event_sink() = default;

    virtual void on_fork(int parent_tgid, int child_tgid, int64_t ns) = 0;
    // A new thread of tgid, for a source that reports threads.
    virtual void on_thread(int tgid) = 0;
    // An exec, with the facts recorded at it where the source records them.
    virtual void on_exec(int tgid, int64_t ns, std::shared_ptr<exec_facts> facts) = 0;
    // A change of the effective user id.
    virtual void on_uid(int tgid, uint32_t euid) = 0;
    // The end of a whole process, with its wait status.
    virtual void on_exit(int tgid, int status, int64_t ns) = 0;
    // The end of one thread of tgid (its leader or another), for a source
    // that reports threads; the process ends with its last thread.
    virtual void on_thread_end(int tgid, bool leader, int status, int64_t ns) = 0;
    // count events were lost; 0 when the count is unknown.
    virtual void on_lost(uint64_t count) = 0;
};

} // namespace linux_layer
