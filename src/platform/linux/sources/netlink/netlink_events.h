// Turning the netlink connector's messages into events; per-CPU sequence
// numbers show the messages the kernel dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/linux/event_sink.h"

namespace linux_layer {

class netlink_events {
public:
    // One datagram as the socket gave it: netlink messages, each a
    // connector message with one process event.
    void take(const void *datagram, size_t len, event_sink &sink);

private:
    void handle(const void *connector_message, size_t len, event_sink &sink);
    void check_sequence(unsigned cpu, uint64_t seq, event_sink &sink);

    std::vector<uint64_t> expected_seq_; // per CPU; 0 before the first
};

} // namespace linux_layer
