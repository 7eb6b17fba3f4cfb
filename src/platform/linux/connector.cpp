// The netlink process-events connector as an event source: fork, exec and
// exit events of every process, with per-CPU sequence numbers that show loss.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/layer.h"

namespace linux_layer {

namespace {

int sock = -1;

// A stalled reader with a large buffer loses nothing in a storm of tens of
// thousands of execs; the default buffer loses thousands.
constexpr int RECEIVE_BUFFER = 32 << 20;
constexpr int BATCH = 64;
constexpr size_t MESSAGE_SIZE = 512;

// The next sequence number expected from each CPU; 0 before the first.
std::vector<uint64_t> expected_seq;

bool subscribe(int fd)
{
    constexpr size_t size = NLMSG_LENGTH(sizeof(struct cn_msg) + sizeof(enum proc_cn_mcast_op));
    alignas(struct nlmsghdr) char request[NLMSG_SPACE(size)] = {};
    auto *nl = reinterpret_cast<struct nlmsghdr *>(request);
    nl->nlmsg_len = size;
    nl->nlmsg_type = NLMSG_DONE;
    nl->nlmsg_pid = static_cast<__u32>(getpid());
    auto *cn = static_cast<struct cn_msg *>(NLMSG_DATA(nl));
    cn->id.idx = CN_IDX_PROC;
    cn->id.val = CN_VAL_PROC;
    cn->len = sizeof(enum proc_cn_mcast_op);
    enum proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
    memcpy(cn->data, &op, sizeof op);
    return send(fd, request, size, 0) == static_cast<ssize_t>(size);
}

// The kernel packs the event at a 4-byte offset; it is read from a copy.
void copy_event(const struct cn_msg *cn, struct proc_event *ev)
{
    memset(ev, 0, sizeof *ev);
    memcpy(ev, cn->data, std::min<size_t>(cn->len, sizeof *ev));
}

// Waits for the kernel's answer to the subscription; false with its errno.
bool await_ack(int fd)
{
    char buf[MESSAGE_SIZE];
    for (int tries = 0; tries < 1000; tries++) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, 2000);
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            return false;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == -1) {
            if (errno == EINTR || errno == ENOBUFS)
                continue;
            return false;
        }
        auto *nl = reinterpret_cast<struct nlmsghdr *>(buf);
        if (!NLMSG_OK(nl, static_cast<size_t>(n)))
            continue;
        struct proc_event ev;
        copy_event(static_cast<struct cn_msg *>(NLMSG_DATA(nl)), &ev);
        if (ev.what != proc_event::PROC_EVENT_NONE)
            continue;
        if (ev.event_data.ack.err != 0) {
            int e = static_cast<int>(ev.event_data.ack.err);
            errno = e < 0 ? -e : e;
            return false;
        }
        return true;
    }
    errno = ETIMEDOUT;
    return false;
}

void check_sequence(unsigned cpu, uint64_t seq)
{
    if (cpu >= expected_seq.size())
        expected_seq.resize(cpu + 1, 0);
    uint64_t &expected = expected_seq[cpu];
    if (expected != 0 && seq > expected - 1 && seq != expected)
        on_lost(seq - expected);
    expected = seq + 1;
}

void handle(const struct cn_msg *cn)
{
    struct proc_event copy;
    copy_event(cn, &copy);
    const struct proc_event *ev = &copy;
    // Acknowledgements answer any listener's subscription and are not
    // numbered with the events.
    if (ev->what == proc_event::PROC_EVENT_NONE)
        return;
    check_sequence(ev->cpu, cn->seq);
    int64_t ns = static_cast<int64_t>(ev->timestamp_ns);
    switch (ev->what) {
    case proc_event::PROC_EVENT_FORK: {
        const auto &f = ev->event_data.fork;
        if (f.child_pid != f.child_tgid)
            on_thread(f.child_tgid);
        else
            on_fork(f.parent_tgid, f.child_tgid, ns);
        break;
    }
    case proc_event::PROC_EVENT_EXEC:
        on_exec(ev->event_data.exec.process_tgid, ns);
        break;
    case proc_event::PROC_EVENT_UID:
        on_uid(ev->event_data.id.process_tgid, ev->event_data.id.e.euid);
        break;
    case proc_event::PROC_EVENT_EXIT: {
        const auto &e = ev->event_data.exit;
        on_thread_end(e.process_tgid, e.process_pid == e.process_tgid,
                      static_cast<int>(e.exit_code), ns);
        break;
    }
    default:
        break;
    }
}

} // namespace

int connector_open()
{
    // The kernel sends its process events to the initial pid namespace only.
    if (!in_initial_pid_namespace()) {
        fprintf(stderr, "forklog: the netlink connector cannot be used inside a pid namespace; "
                        "the kernel programs (an eBPF build, run as root) are needed there\n");
        errno = EOPNOTSUPP;
        return -1;
    }
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd == -1)
        return -1;
    int size = RECEIVE_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == -1)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = CN_IDX_PROC;
    addr.nl_pid = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == -1 ||
        !subscribe(fd) || !await_ack(fd)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sock = fd;
    return fd;
}

void connector_drain()
{
    static char buffers[BATCH][MESSAGE_SIZE];
    static struct iovec iov[BATCH];
    static struct mmsghdr msgs[BATCH];
    for (;;) {
        for (int i = 0; i < BATCH; i++) {
            iov[i] = {buffers[i], MESSAGE_SIZE};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int got = recvmmsg(sock, msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (got == -1) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                // The kernel dropped messages; how many is unknown.
                on_lost(0);
                continue;
            }
            return;
        }
        for (int i = 0; i < got; i++) {
            size_t len = msgs[i].msg_len;
            for (auto *nl = reinterpret_cast<struct nlmsghdr *>(buffers[i]); NLMSG_OK(nl, len);
                 nl = NLMSG_NEXT(nl, len)) {
                if (nl->nlmsg_type == NLMSG_NOOP || nl->nlmsg_type == NLMSG_ERROR)
                    continue;
                handle(static_cast<const struct cn_msg *>(NLMSG_DATA(nl)));
            }
        }
        if (got < BATCH)
            return;
    }
}

} // namespace linux_layer
