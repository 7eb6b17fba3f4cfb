// The tracker: the watched processes, the notes waiting to be read, the
// layer's process table and recovery from lost events. An event source
// feeds it; the event queue hands out its notes in batches, each with the
// facts that came with its notes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/linux/event_sink.h"
#include "platform/linux/process_table.h"
#include "platform/linux/proc/cgroup_paths.h"
#include "platform/linux/proc/procfs.h"
#include "platform/platform.h"

namespace linux_layer {

// Bytes that notes not yet read may hold, with the facts that came with
// them. Past this the sources are not read: the kernel drops what does not
// fit, and the loss is reported and recovered from, so a slow reader never
// makes the tool grow without bound.
constexpr size_t HELD_NOTES_CAP = size_t{32} << 20;

class tracker final : public event_sink {
public:
    // tell_source hears of every process that becomes watched, and how; it
    // answers 0, or the errno that refuses the watch.
    tracker(const procfs &proc, std::function<int(int pid, uint32_t fflags)> tell_source);

    // Fills the process table from /proc. Unread notes of one watch merge
    // into one when merge_notes, but for an end after an exec; a source that
    // records each exec's facts has every event as a note of its own.
    void start(bool merge_notes);

    // What the reports will need of an exec whose facts are read here.
    void want(const facts_wanted &wanted) { wanted_ = wanted; }

    // Watches pid (a process, not a thread) for fflags, or renews its watch;
    // 0, or ESRCH for a process that is gone, or a zombie watched without
    // NOTE_EXIT, or the source's errno.
    int watch(int pid, uint32_t fflags);

    // Notes signo; several unread notes of one signal are one.
    void post_signal(int signo);

    bool notes_pending() const { return !pending_.empty(); }
    // Whether the notes not yet read hold more than HELD_NOTES_CAP bytes.
    bool over_cap() const { return held_bytes_ > HELD_NOTES_CAP; }

    // Starts a new batch: the one before has been reported. Moves up to
    // nevents notes, oldest first, into events, at most one per process, so
    // that queries about a process are answered from its note's facts.
    int take_batch(struct os::kevent *events, int nevents);
    // The facts that came with pid's note in the current batch, or null.
    const exec_facts *batch_facts(int pid) const;

    // pid's record: from its note's facts in the current batch, else from
    // the process table, else from /proc; false with errno.
    bool record(int pid, os::kinfo_proc *kp);
    // Every process's record from /proc; false when /proc cannot be listed.
    bool all_records(std::vector<os::kinfo_proc> &out);

    // After lost events: one warning, then the watches are brought back in
    // line with the processes that exist.
    void recover_from_loss();

    void on_fork(int parent_tgid, int child_tgid, int64_t ns) override;
    void on_thread(int tgid) override;
    void on_exec(int tgid, int64_t ns, std::shared_ptr<exec_facts> facts) override;
    void on_uid(int tgid, uint32_t euid) override;
    void on_exit(int tgid, int status, int64_t ns) override;
    void on_thread_end(int tgid, bool leader, int status, int64_t ns) override;
    void on_lost(uint64_t count) override;

private:
    struct watch_entry {
        uint32_t fflags;
        int64_t since_ns; // events before this are not the watch's
        uint64_t serial;  // tells a pid's successive watches apart
        int threads;      // live threads, for sources that report each thread's end
    };

    struct note {
        struct os::kevent event;
        uint64_t key; // finds a note that is not yet read, to merge into it
        std::shared_ptr<exec_facts> facts;
    };

    void post(uint64_t key, int16_t filter, uintptr_t ident, uint32_t fflags, int64_t data,
              std::shared_ptr<exec_facts> facts);
    bool read_record(int pid, os::kinfo_proc *kp);
    const watch_entry *
    tracking_ancestor(int pid, const std::unordered_map<int, stat_fields> &processes) const;
    void resynchronise();

    const procfs &proc_;
    std::function<int(int, uint32_t)> tell_source_;
    facts_wanted wanted_;
    process_table table_;
    cgroup_paths cgroups_;

    std::unordered_map<int, watch_entry> watches_;
    uint64_t next_serial_ = 1;

    // Notes in the order they happened.
    std::deque<note> pending_;
    std::unordered_map<uint64_t, uint64_t> pending_at_; // key -> absolute position
    uint64_t taken_ = 0;                                // notes handed out so far
    size_t held_bytes_ = 0;                             // by the notes not yet read
    bool merging_ = true;
    uint64_t next_unmerged_key_ = uint64_t{1} << 62;
    // The facts of the notes handed out in the current batch.
    std::unordered_map<int, std::shared_ptr<exec_facts>> batch_;

    uint64_t lost_events_ = 0;
    bool lost_unknown_ = false;
};

} // namespace linux_layer
