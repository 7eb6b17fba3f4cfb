// An event source: where the kernel's process events come from. Each one
// turns its own kind of kernel record into calls on an event sink.
//
// To be a source: hand on every fork, exec and end of a watched process to
// the sink (on_fork for every child of a watched process, or the tracker
// never follows it), tell it of records lost, and follow a pid once
// watch says so. A source that does more than every source needs says so
// by being a child_reaper or a polled_source too.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/linux/event_sink.h"
#include "platform/linux/proc/procfs.h"

namespace linux_layer {

class event_source {
public:
    virtual ~event_source() = default;

    // A descriptor that turns readable when records are ready.
    virtual int descriptor() const = 0;
    // Hands the records that are ready to sink without blocking; how many.
    virtual int drain(event_sink &sink) = 0;
    // Whether the last drain stopped before every ready record was handed
    // on, so that the reader does not block before the next drain.
    virtual bool more_ready() const { return false; }
    // Whether each exec comes with its facts; then every event is a note of
    // its own, since merged notes would lose facts.
    virtual bool records_facts() const = 0;
    // What the reports will need; said before the first watch.
    virtual void want(const facts_wanted &) {}
    // pid is watched with fflags (the event queue's note bits); 0, or an
    // errno when this source cannot follow it.
    virtual int watch(int, uint32_t) { return 0; }
};

// A source that itself waits for the tool's own children, as a tracer
// must: their ends and stops are had from reap, and child_changed says once
// that one came.
class child_reaper {
public:
    virtual ~child_reaper() = default;
    // As waitpid(pid, status, WNOHANG, or with WUNTRACED when stops is true)
    // for the tool's children, pid -1 for any.
    virtual int reap(int pid, int *status, bool stops) = 0;
    virtual bool child_changed() = 0;
};

// A source that does not wake its reader for every record: polled while
// records come, and told before the reader blocks.
class polled_source {
public:
    virtual ~polled_source() = default;
    // How often it is polled while records come.
    virtual int poll_interval_ms() const = 0;
    // Before the reader blocks with no time-out: false, with the records
    // handed to sink, when records came meanwhile; true when the next record
    // will wake the reader, until awake.
    virtual bool sleep(event_sink &sink) = 0;
    virtual void awake() = 0;
};

// The event source for this run: the one named by FORKLOG_SOURCE when set,
// else the kernel programs, else the netlink connector, else (for a run that
// does not watch the whole system) a tracer, which reads through proc. Null
// with errno when none opens; a reason the user must hear of has been written.
std::unique_ptr<event_source> open_event_source(bool whole_system, const procfs &proc);

} // namespace linux_layer
