// The output's own thread and the backlog it writes from.
#include "platform/posix/output_writer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace posix_layer {

output_writer::output_writer(int fd, std::function<bool()> interrupted, size_t cap)
    : fd_(fd), interrupted_(std::move(interrupted)), cap_(cap)
{
}

output_writer::~output_writer()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        more_.notify_one();
        thread_.join();
    }
    if (next_fd_ != -1)
        close(next_fd_);
}

// The thread starts with the first write, after the command has been
// started: the command is forked from a process of one thread, and takes
// the pid it would have had without the tool.
void output_writer::start()
{
    // Signals are the event queue's, read on the main thread; only SIGPIPE
    // is left to end the tool as it ends any writer to a closed pipe.
    sigset_t all, saved;
    sigfillset(&all);
    sigdelset(&all, SIGPIPE);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    thread_ = std::thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

ssize_t output_writer::take(const char *data, size_t size)
{
    if (!thread_.joinable())
        start();
    std::unique_lock lock(mutex_);
    // A line longer than the cap still goes out, alone.
    while (!failure_ && !given_up_ && queued() > 0 && queued() + size > cap_) {
        if (interrupted_()) {
            given_up_ = true;
            break;
        }
        progress_.wait_for(lock, CHECK_INTERVAL);
    }
    if (failure_) {
        errno = failure_;
        return -1;
    }
    bool was_idle = queued() == 0;
    backlog_.append(data, size);
    lock.unlock();
    if (was_idle)
        more_.notify_one();
    return static_cast<ssize_t>(size);
}

bool output_writer::drain(std::optional<std::chrono::milliseconds> limit)
{
    auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!failure_ && queued() > 0) {
        if (interrupted_() || (limit && std::chrono::steady_clock::now() - start >= *limit))
            return false;
        progress_.wait_for(lock, CHECK_INTERVAL);
    }
    return !failure_;
}

void output_writer::switch_to(int fd)
{
    std::unique_lock lock(mutex_);
    if (next_fd_ != -1)
        close(next_fd_);
    else
        switch_after_ = backlog_.size();
    next_fd_ = fd;
    if (!thread_.joinable()) {
        switch_file(); // nothing taken yet, nothing on its way
        return;
    }
    lock.unlock();
    more_.notify_one();
}

void output_writer::switch_file()
{
    dup2(next_fd_, fd_);
    close(next_fd_);
    next_fd_ = -1;
    switch_after_ = 0;
}

void output_writer::give_up()
{
    std::lock_guard lock(mutex_);
    given_up_ = true;
}

long output_writer::unwritten_lines() const
{
    std::lock_guard lock(mutex_);
    auto unwritten =
        writing_.begin() + static_cast<ptrdiff_t>(std::min(written_.load(), writing_.size()));
    long lines = std::count(unwritten, writing_.end(), '\n') +
                 std::count(backlog_.begin(), backlog_.end(), '\n');
    // A last line not ended yet counts too.
    bool any = unwritten != writing_.end() || !backlog_.empty();
    char last = backlog_.empty() ? (writing_.empty() ? '\n' : writing_.back()) : backlog_.back();
    return lines + (any && last != '\n' ? 1 : 0);
}

int output_writer::failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

void output_writer::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        more_.wait(lock, [this] { return !backlog_.empty() || next_fd_ != -1 || stopping_; });
        if (next_fd_ != -1 && switch_after_ == 0) {
            switch_file();
            continue;
        }
        if (backlog_.empty())
            return;
        // Up to a switch, the bytes that belong to the old file.
        size_t n = next_fd_ != -1 ? switch_after_ : backlog_.size();
        if (n == backlog_.size()) {
            writing_.swap(backlog_);
            backlog_.clear();
        } else {
            writing_.assign(backlog_, 0, n);
            backlog_.erase(0, n);
        }
        switch_after_ = 0;
        written_ = 0;
        lock.unlock();
        int failure = 0;
        while (written_ < writing_.size()) {
            ssize_t n = write(fd_, writing_.data() + written_, writing_.size() - written_);
            if (n == -1 && errno == EINTR)
                continue;
            if (n == -1) {
                failure = errno;
                break;
            }
            written_ += static_cast<size_t>(n);
        }
        lock.lock();
        if (failure) {
            failure_ = failure;
            written_ = 0;
            writing_.clear();
            backlog_.clear();
            progress_.notify_all();
            more_.wait(lock, [this] { return stopping_; });
            return;
        }
        writing_.clear();
        written_ = 0;
        progress_.notify_all();
    }
}

} // namespace posix_layer
