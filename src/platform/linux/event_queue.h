// The event queue: one descriptor that waits on the event source and on the
// watched signals, and hands out their notes through the tracker.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>

#include "platform/linux/event_source.h"
#include "platform/linux/tracker.h"

namespace linux_layer {

class event_queue {
public:
    event_queue(std::unique_ptr<event_source> source, tracker &notes);
    ~event_queue();
    event_queue(const event_queue &) = delete;
    event_queue &operator=(const event_queue &) = delete;

    // Whether the queue could be made; errno tells why not.
    bool usable() const { return epoll_fd_ != -1; }
    int descriptor() const { return epoll_fd_; }
    event_source &source() { return *source_; }
    // The source as a reaper of the tool's children, where it is one.
    child_reaper *reaper() { return reaper_; }

    // Watched signals are blocked, so that they wait for the descriptor
    // however they are disposed of; 0 or an errno.
    int watch_signal(int signo);

    // Blocks until at least one note is ready; up to nevents of them, or -1
    // with errno.
    int wait(struct os::kevent *events, int nevents);

private:
    int gather(bool block);
    int read_signals(int *signals, int room);

    std::unique_ptr<event_source> source_;
    child_reaper *reaper_;
    polled_source *polled_;
    tracker &notes_;
    int epoll_fd_ = -1;
    int signal_fd_ = -1;
    sigset_t watched_signals_;
    // SIGCHLD is watched while the source reaps the tool's children: the
    // source says when one ended.
    bool child_signal_watched_ = false;
    bool source_quiet_ = false; // the last drain found no record
    int64_t gathered_ns_ = 0;
};

} // namespace linux_layer
