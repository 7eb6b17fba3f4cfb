// The connector's messages turned into events: threads told from
// processes, acknowledgements passed over, gaps counted as losses.
#include <cstring>
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <vector>

#include "platform/linux/sources/netlink/netlink_events.h"
#include "recording_sink.h"

namespace {

using namespace linux_layer;

// One netlink message holding one connector message with ev.
std::vector<char> message(const proc_event &ev, unsigned seq)
{
    size_t payload = sizeof(cn_msg) + sizeof ev;
    std::vector<char> m(NLMSG_SPACE(payload), 0);
    auto *nl = reinterpret_cast<nlmsghdr *>(m.data());
    nl->nlmsg_len = static_cast<__u32>(NLMSG_LENGTH(payload));
    nl->nlmsg_type = NLMSG_DONE;
    cn_msg cn = {};
    cn.id = {CN_IDX_PROC, CN_VAL_PROC};
    cn.seq = seq;
    cn.len = sizeof ev;
    memcpy(NLMSG_DATA(nl), &cn, sizeof cn);
    memcpy(static_cast<char *>(NLMSG_DATA(nl)) + sizeof cn, &ev, sizeof ev);
    return m;
}

proc_event event(enum proc_event::what what, unsigned cpu, unsigned long long ns)
{
    proc_event ev = {};
    ev.what = what;
    ev.cpu = cpu;
    ev.timestamp_ns = ns;
    return ev;
}

proc_event fork_of(int parent, int child_pid, int child_tgid, unsigned cpu, unsigned long long ns)
{
    proc_event ev = event(proc_event::PROC_EVENT_FORK, cpu, ns);
    ev.event_data.fork.parent_pid = parent;
    ev.event_data.fork.parent_tgid = parent;
    ev.event_data.fork.child_pid = child_pid;
    ev.event_data.fork.child_tgid = child_tgid;
    return ev;
}

proc_event exit_of(int pid, int tgid, unsigned code, unsigned cpu)
{
    proc_event ev = event(proc_event::PROC_EVENT_EXIT, cpu, 9);
    ev.event_data.exit.process_pid = pid;
    ev.event_data.exit.process_tgid = tgid;
    ev.event_data.exit.exit_code = code;
    return ev;
}

TEST(netlink_events_test, events_in_order_with_losses_counted_per_cpu)
{
    proc_event exec = event(proc_event::PROC_EVENT_EXEC, 0, 5);
    exec.event_data.exec.process_pid = 43; // the thread that called exec
    exec.event_data.exec.process_tgid = 42;
    proc_event uid = event(proc_event::PROC_EVENT_UID, 1, 6);
    uid.event_data.id.process_tgid = 42;
    uid.event_data.id.e.euid = 1000;
    proc_event ack = event(proc_event::PROC_EVENT_NONE, 0, 0);

    // Two messages in one datagram, then one at a time.
    std::vector<char> datagram = message(fork_of(1, 42, 42, 0, 4), 10);
    std::vector<char> second = message(fork_of(42, 43, 42, 0, 4), 11);
    datagram.insert(datagram.end(), second.begin(), second.end());
    const std::vector<char> messages[] = {
        datagram,
        message(ack, 0),
        message(exec, 12),
        message(uid, 3),
        message(exit_of(43, 42, 0, 1), 4),
        message(exit_of(42, 42, 0x100, 0), 20), // seven lost on CPU 0
        message(event(proc_event::PROC_EVENT_COMM, 1, 0), 5),
    };
    netlink_events events;
    recording_sink sink;
    for (const std::vector<char> &m : messages)
        events.take(m.data(), m.size(), sink);
    EXPECT_EQ(sink.calls,
              (std::vector<std::string>{"fork 1 42 @4", "thread 42", "exec 42 @5", "uid 42 1000",
                                        "thread end 42 0", "lost 7", "leader end 42 256"}));
}

TEST(netlink_events_test, cut_and_malformed_messages_are_passed_over)
{
    netlink_events events;
    recording_sink sink;
    std::vector<char> m = message(fork_of(1, 42, 42, 0, 4), 1);
    for (size_t len :
         {size_t{0}, size_t{3}, sizeof(nlmsghdr), sizeof(nlmsghdr) + sizeof(cn_msg) - 1})
        events.take(m.data(), len, sink);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{}));
}

} // namespace
