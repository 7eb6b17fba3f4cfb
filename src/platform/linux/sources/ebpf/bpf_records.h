// Turning the kernel programs' ring records into events: an exec and its
// data arrive as a head record and further chunks from the same CPU, put
// back together here; gaps in each CPU's exec numbering are lost events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/linux/sources/ebpf/bpf/records.h"
#include "platform/linux/event_sink.h"
#include "platform/platform.h"

// Watches go into the kernel's map with the event queue's note bits as they are.
static_assert(os::NOTE_EXIT == WATCH_EXIT && os::NOTE_EXEC == WATCH_EXEC &&
                  os::NOTE_TRACK == WATCH_TRACK,
              "the kernel programs read the note bits of a watch");

namespace linux_layer {

class bpf_records {
public:
    // One record as the ring holds it.
    void take(const void *data, size_t size, event_sink &sink);
    // The ring had no room for count records: an exec being put together
    // may have lost its last chunks, so it goes on without its data.
    void dropped(uint64_t count, event_sink &sink);

private:
    struct assembly {
        bool active = false;
        rec_exec head;
        std::vector<char> data;
    };

    void start_exec(const rec_exec *h, size_t size, event_sink &sink);
    void more_exec(const rec_chunk *c, size_t size, event_sink &sink);
    void add_data(assembly &a, const char *bytes, size_t len, event_sink &sink);
    void finish(assembly &a, bool whole, event_sink &sink);

    std::vector<assembly> assemblies_; // per CPU
    std::vector<int64_t> next_seq_;    // per CPU; -1 before the first exec record
};

} // namespace linux_layer
