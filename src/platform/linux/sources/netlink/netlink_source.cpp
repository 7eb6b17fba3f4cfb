// Subscribing to the connector and reading its socket.
#include "platform/linux/sources/netlink/netlink_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/sources/netlink/netlink_events.h"
#include "platform/linux/pid_namespace.h"

namespace linux_layer {

namespace {

// A stalled reader with a large buffer loses nothing in a storm of tens of
// thousands of execs; the default buffer loses thousands.
constexpr int RECEIVE_BUFFER = 32 << 20;
constexpr int BATCH = 64;
constexpr size_t MESSAGE_SIZE = 512;
constexpr int ACK_WAIT_MS = 2000;

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

// Waits for the kernel's answer to the subscription; false with its errno.
bool await_ack(int fd)
{
    alignas(struct nlmsghdr) char buf[MESSAGE_SIZE];
    for (int tries = 0; tries < 1000; tries++) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, ACK_WAIT_MS);
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
        struct proc_event ev = {};
        auto *cn = static_cast<struct cn_msg *>(NLMSG_DATA(nl));
        memcpy(&ev, cn->data, std::min<size_t>(cn->len, sizeof ev));
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

class netlink_source final : public event_source {
public:
    explicit netlink_source(int fd) : fd_(fd) {}
    ~netlink_source() override { close(fd_); }

    int descriptor() const override { return fd_; }
    // Each exec's facts are read from /proc as its message is handled.
    bool records_facts() const override { return true; }

    int drain(event_sink &sink) override
    {
        int total = 0;
        for (;;) {
            for (int i = 0; i < BATCH; i++) {
                iov_[i] = {buffers_[i], MESSAGE_SIZE};
                msgs_[i] = {};
                msgs_[i].msg_hdr.msg_iov = &iov_[i];
                msgs_[i].msg_hdr.msg_iovlen = 1;
            }
            int got = recvmmsg(fd_, msgs_, BATCH, MSG_DONTWAIT, nullptr);
            if (got == -1) {
                if (errno == EINTR)
                    continue;
                if (errno == ENOBUFS) {
                    // The kernel dropped messages; how many is unknown.
                    sink.on_lost(0);
                    continue;
                }
                return total;
            }
            for (int i = 0; i < got; i++)
                events_.take(buffers_[i], msgs_[i].msg_len, sink);
            total += got;
            if (got < BATCH)
                return total;
        }
    }

private:
    int fd_;
    netlink_events events_;
    alignas(struct nlmsghdr) char buffers_[BATCH][MESSAGE_SIZE];
    struct iovec iov_[BATCH];
    struct mmsghdr msgs_[BATCH];
};

} // namespace

std::unique_ptr<event_source> open_netlink_source()
{
    // The kernel sends its process events to the initial pid namespace only.
    if (!in_initial_pid_namespace()) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd == -1)
        return nullptr;
    int size = RECEIVE_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == -1)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = CN_IDX_PROC;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == -1 || !subscribe(fd) ||
        !await_ack(fd)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::make_unique<netlink_source>(fd);
}

} // namespace linux_layer
