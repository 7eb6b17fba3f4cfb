// Waiting on the event source and the watched signals together.
#include "platform/linux/event_queue.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/linux/clocks.h"

namespace linux_layer {

namespace {

// While notes wait to be read, the source is still read this often, so that
// the kernel's buffer does not fill while the reports run; its size allows it.
constexpr int64_t GATHER_WHILE_PENDING_NS = 1000000;

bool add_to(int epoll_fd, int fd)
{
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

} // namespace

event_queue::event_queue(std::unique_ptr<event_source> source, tracker &notes)
    : source_(std::move(source)), reaper_(dynamic_cast<child_reaper *>(source_.get())),
      polled_(dynamic_cast<polled_source *>(source_.get())), notes_(notes)
{
    sigemptyset(&watched_signals_);
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd == -1)
        return;
    if (!add_to(fd, source_->descriptor())) {
        int saved = errno;
        close(fd);
        errno = saved;
        return;
    }
    epoll_fd_ = fd;
}

event_queue::~event_queue()
{
    if (signal_fd_ != -1)
        close(signal_fd_);
    if (epoll_fd_ != -1)
        close(epoll_fd_);
}

int event_queue::watch_signal(int signo)
{
    if (signo == SIGCHLD && reaper_) {
        child_signal_watched_ = true;
        return 0;
    }
    sigaddset(&watched_signals_, signo);
    if (sigprocmask(SIG_BLOCK, &watched_signals_, nullptr) == -1)
        return errno;
    int fd = signalfd(signal_fd_, &watched_signals_, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd == -1)
        return errno;
    if (signal_fd_ == -1 && !add_to(epoll_fd_, fd)) {
        int saved = errno;
        close(fd);
        return saved;
    }
    signal_fd_ = fd;
    return 0;
}

// Signals waiting on the descriptor, read but not yet noted.
int event_queue::read_signals(int *signals, int room)
{
    struct signalfd_siginfo info[16];
    int count = 0;
    ssize_t n;
    while (count < room && (n = read(signal_fd_, info, sizeof info)) > 0)
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0] && count < room; i++)
            signals[count++] = static_cast<int>(info[i].ssi_signo);
    return count;
}

// Takes in whatever the source has ready; blocks first when asked to.
// Signals are read before the process events and noted after them, so every
// process event that came before a signal (a command's last exec before its
// SIGCHLD) is noted before it.
int event_queue::gather(bool block)
{
    int timeout = block && !source_->more_ready() ? -1 : 0;
    bool slept = false;
    if (timeout == -1 && polled_) {
        slept = source_quiet_ && polled_->sleep(notes_);
        if (!slept) // records came while going to sleep
            timeout = source_quiet_ ? 0 : polled_->poll_interval_ms();
    }
    struct epoll_event ready[2];
    int n = epoll_wait(epoll_fd_, ready, 2, timeout);
    if (slept)
        polled_->awake();
    if (n == -1)
        return -1;
    int signals[64];
    int count = 0;
    for (int i = 0; i < n; i++)
        if (ready[i].data.fd == signal_fd_)
            count = read_signals(signals, 64);
    // Past the cap the kernel keeps what fits and counts the rest as lost.
    if (!notes_.over_cap())
        source_quiet_ = source_->drain(notes_) == 0;
    notes_.recover_from_loss();
    for (int i = 0; i < count; i++)
        notes_.post_signal(signals[i]);
    if (child_signal_watched_ && reaper_->child_changed())
        notes_.post_signal(SIGCHLD);
    return 0;
}

int event_queue::wait(struct os::kevent *events, int nevents)
{
    int64_t now = monotonic_ns();
    if (notes_.notes_pending() && now - gathered_ns_ >= GATHER_WHILE_PENDING_NS) {
        if (gather(false) == -1)
            return -1;
        gathered_ns_ = now;
    }
    while (!notes_.notes_pending()) {
        if (gather(true) == -1)
            return -1;
        gathered_ns_ = monotonic_ns();
    }
    return notes_.take_batch(events, nevents);
}

} // namespace linux_layer
