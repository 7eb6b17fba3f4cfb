// Writing the run's lines from a thread of their own, so that an output that
// is read slowly, or not at all, never holds up the reading of events (under
// the tracer, the traced programs themselves): the lines wait in memory, up
// to a cap, and go out as the file takes them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>

namespace posix_layer {

// The most bytes that wait for a slow output, as much as the other sources
// hold for a slow reader.
constexpr size_t OUTPUT_BACKLOG_CAP = size_t{32} << 20;
// How long an interrupted run still lets the output take what waits: a file
// or a reader that keeps up takes it all, one that is stalled is given up.
constexpr std::chrono::milliseconds INTERRUPTED_DRAIN{250};

class output_writer {
public:
    // Writes to fd, which it never closes. interrupted tells, while the
    // writer waits on the output's behalf, whether the tool has been
    // interrupted; then it stops waiting.
    output_writer(int fd, std::function<bool()> interrupted, size_t cap = OUTPUT_BACKLOG_CAP);
    // Waits for the writes under way; the output must be able to take them.
    ~output_writer();
    output_writer(const output_writer &) = delete;
    output_writer &operator=(const output_writer &) = delete;

    // Queues size bytes. Waits while the backlog is at the cap, unless
    // interrupted or given up. -1 with errno once a write has failed.
    ssize_t take(const char *data, size_t size);
    // Waits until everything taken has been written, a write has failed,
    // the tool is interrupted, or limit has passed. Returns whether
    // everything was written.
    bool drain(std::optional<std::chrono::milliseconds> limit = std::nullopt);
    // From the next byte taken on, writes go to fd's file instead, which
    // takes the old one's descriptor number; the bytes taken before still go
    // to the old file. Takes fd over.
    void switch_to(int fd);
    // From now on take never waits.
    void give_up();
    // The lines taken and not yet, or not wholly, written.
    long unwritten_lines() const;
    // The errno of the write that failed, or 0.
    int failure() const;

private:
    static constexpr std::chrono::milliseconds CHECK_INTERVAL{10};
    void start();
    void run();
    // Puts the next file in place; with the lock held.
    void switch_file();
    size_t queued() const { return backlog_.size() + writing_.size(); }

    int fd_;
    std::function<bool()> interrupted_;
    size_t cap_;
    mutable std::mutex mutex_;
    std::condition_variable more_;     // the writer's wake-up
    std::condition_variable progress_; // a write ended
    std::string backlog_;              // bytes not yet handed to the writer
    std::string writing_;              // bytes the writer is writing
    std::atomic<size_t> written_{0};   // of writing_
    int failure_ = 0;
    int next_fd_ = -1;        // the file to switch to, or -1
    size_t switch_after_ = 0; // bytes of backlog_ that still go to the old file
    bool given_up_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace posix_layer
