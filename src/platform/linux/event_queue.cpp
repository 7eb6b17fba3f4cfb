// The event queue: one descriptor that waits on the event source and on the
// watched signals, and hands out their notes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/linux/layer.h"
#include "platform/linux/watch_table.h"
#include "platform/platform.h"

namespace {

int epoll_fd = -1;
int source_fd = -1;
bool bpf_source = false; // else the connector
// The eBPF source wakes no reader per record: while records come it is
// polled this often; after a poll that found none the reader sleeps until
// the next record wakes it.
constexpr int BPF_POLL_MS = 10;
bool bpf_quiet = false; // the last drain found no record
int signal_fd = -1;
sigset_t watched_signals;

// Watched signals are blocked, so that they wait for the descriptor however
// they are disposed of: an ignored signal that is blocked is still kept.
int watch_signal(int signo)
{
    linux_layer::save_original_mask();
    if (signal_fd == -1)
        sigemptyset(&watched_signals);
    sigaddset(&watched_signals, signo);
    if (sigprocmask(SIG_BLOCK, &watched_signals, nullptr) == -1)
        return errno;
    bool first = signal_fd == -1;
    int fd = signalfd(signal_fd, &watched_signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd == -1)
        return errno;
    signal_fd = fd;
    if (first) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == -1)
            return errno;
    }
    return 0;
}

int apply(const struct os::kevent &change)
{
    if (change.filter == 0)
        return 0;
    if (change.filter == os::EVFILT_PROC)
        return linux_layer::add_process_watch(static_cast<int>(change.ident), change.fflags);
    if (change.filter == os::EVFILT_SIGNAL)
        return watch_signal(static_cast<int>(change.ident));
    return EINVAL;
}

// Signals waiting on the descriptor, read but not yet noted.
int read_signals(int *signals, int room)
{
    struct signalfd_siginfo info[16];
    int count = 0;
    ssize_t n;
    while (count < room && (n = read(signal_fd, info, sizeof info)) > 0)
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0] && count < room; i++)
            signals[count++] = static_cast<int>(info[i].ssi_signo);
    return count;
}

// Takes in whatever the sources have ready; blocks first when asked to.
// Signals are read before the process events and noted after them, so every
// process event that came before a signal (a command's last exec before its
// SIGCHLD) is noted before it.
int gather(bool block)
{
    int timeout = block ? -1 : 0;
    if (block && bpf_source && !(bpf_quiet && linux_layer::bpf_source_sleep()))
        timeout = bpf_quiet ? 0 : BPF_POLL_MS; // records came while going to sleep
    struct epoll_event ready[2];
    int n = epoll_wait(epoll_fd, ready, 2, timeout);
    if (bpf_source && timeout == -1)
        linux_layer::bpf_source_awake();
    if (n == -1)
        return -1;
    int signals[64];
    int count = 0;
    for (int i = 0; i < n; i++)
        if (ready[i].data.fd == signal_fd)
            count = read_signals(signals, 64);
    // Past the cap the kernel keeps what fits and counts the rest as lost.
    if (!linux_layer::notes_over_cap()) {
        if (bpf_source)
            bpf_quiet = linux_layer::bpf_source_drain() == 0;
        else
            linux_layer::connector_drain();
    }
    linux_layer::recover_from_loss();
    for (int i = 0; i < count; i++)
        linux_layer::post_signal(signals[i]);
    return 0;
}

} // namespace

void linux_layer::source_watch(int pid, uint32_t fflags)
{
    if (bpf_source)
        bpf_source_watch(pid, fflags);
}

namespace os {

int kqueue()
{
    linux_layer::save_original_mask();
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep == -1)
        return -1;
    // The eBPF source records each exec's facts at the exec; the connector,
    // where it cannot load, only says that an exec happened.
    int src = linux_layer::bpf_source_open();
    bpf_source = src != -1;
    if (!bpf_source) {
        int why = errno;
        src = linux_layer::connector_open();
        // Without the privilege both fail alike; any other reason leaves a
        // run that captures less, which the user must hear of.
        if (src != -1 && why != ENOSYS && why != EPERM && why != EACCES)
            fprintf(stderr,
                    "forklog: warning: the kernel programs could not be loaded (%s); using the "
                    "netlink connector, which may miss programs that end at once\n",
                    strerror(why));
    }
    if (src == -1) {
        int saved = errno;
        close(ep);
        errno = saved;
        return -1;
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = src;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, src, &ev) == -1) {
        int saved = errno;
        close(ep);
        errno = saved;
        return -1;
    }
    epoll_fd = ep;
    source_fd = src;
    // After subscribing, so that every later change reaches the table.
    linux_layer::seed_process_table();
    return ep;
}

int kevent(int, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
           const void *)
{
    for (int i = 0; i < nchanges; i++) {
        int e = apply(changes[i]);
        if (e) {
            errno = e;
            return -1;
        }
    }
    if (nevents <= 0)
        return 0;
    // Read what is ready even when notes are waiting, so that the kernel's
    // buffer does not fill while the reports run; a millisecond apart at
    // most, which the buffers' size allows.
    static int64_t gathered_ns = 0;
    int64_t now = linux_layer::monotonic_ns();
    if (linux_layer::notes_pending() && now - gathered_ns >= 1000000) {
        if (gather(false) == -1)
            return -1;
        gathered_ns = now;
    }
    while (!linux_layer::notes_pending()) {
        if (gather(true) == -1)
            return -1;
        gathered_ns = linux_layer::monotonic_ns();
    }
    return linux_layer::take_notes(events, nevents);
}

} // namespace os
