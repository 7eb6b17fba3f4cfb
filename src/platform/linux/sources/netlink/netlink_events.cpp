// Reading the connector's process events.
#include "platform/linux/sources/netlink/netlink_events.h"

#include <algorithm>
#include <cstring>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>

namespace linux_layer {

void netlink_events::check_sequence(unsigned cpu, uint64_t seq, event_sink &sink)
{
    if (cpu >= expected_seq_.size())
        expected_seq_.resize(cpu + 1, 0);
    uint64_t &expected = expected_seq_[cpu];
    if (expected != 0 && seq > expected)
        sink.on_lost(seq - expected);
    expected = seq + 1;
}

void netlink_events::handle(const void *connector_message, size_t len, event_sink &sink)
{
    struct cn_msg cn;
    if (len < sizeof cn)
        return;
    memcpy(&cn, connector_message, sizeof cn);
    // The kernel packs the event at a 4-byte offset; it is read from a copy.
    struct proc_event ev = {};
    memcpy(&ev, static_cast<const char *>(connector_message) + sizeof cn,
           std::min<size_t>({cn.len, sizeof ev, len - sizeof cn}));
    // Acknowledgements answer any listener's subscription and are not
    // numbered with the events.
    if (ev.what == proc_event::PROC_EVENT_NONE)
        return;
    check_sequence(ev.cpu, cn.seq, sink);
    int64_t ns = static_cast<int64_t>(ev.timestamp_ns);
    switch (ev.what) {
    case proc_event::PROC_EVENT_FORK: {
        const auto &f = ev.event_data.fork;
        if (f.child_pid != f.child_tgid)
            sink.on_thread(f.child_tgid);
        else
            sink.on_fork(f.parent_tgid, f.child_tgid, ns);
        break;
    }
    case proc_event::PROC_EVENT_EXEC:
        sink.on_exec(ev.event_data.exec.process_tgid, ns, nullptr);
        break;
    case proc_event::PROC_EVENT_UID:
        sink.on_uid(ev.event_data.id.process_tgid, ev.event_data.id.e.euid);
        break;
    case proc_event::PROC_EVENT_EXIT: {
        const auto &e = ev.event_data.exit;
        sink.on_thread_end(e.process_tgid, e.process_pid == e.process_tgid,
                           static_cast<int>(e.exit_code), ns);
        break;
    }
    default:
        break;
    }
}

void netlink_events::take(const void *datagram, size_t len, event_sink &sink)
{
    for (auto *nl = static_cast<const struct nlmsghdr *>(datagram); NLMSG_OK(nl, len);
         nl = NLMSG_NEXT(nl, len)) {
        if (nl->nlmsg_type == NLMSG_NOOP || nl->nlmsg_type == NLMSG_ERROR)
            continue;
        handle(NLMSG_DATA(nl), nl->nlmsg_len - NLMSG_HDRLEN, sink);
    }
}

} // namespace linux_layer
