// The watch table as the event queue uses it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {
struct kevent;
}

namespace linux_layer {

// Watches pid (a process, not a thread) for fflags, or renews its watch;
// 0, or ESRCH for a process that is gone, or a zombie watched without NOTE_EXIT.
int add_process_watch(int pid, uint32_t fflags);

// Notes signo; several unread notes of one signal are one.
void post_signal(int signo);

bool notes_pending();

// Bytes that notes not yet read may hold, with the facts that came with
// them. Past this the sources are not read: the kernel drops what does not
// fit, and the loss is reported and recovered from, so a slow reader never
// makes the tool grow without bound.
constexpr size_t HELD_NOTES_CAP = size_t{32} << 20;

// Whether the notes not yet read hold more than HELD_NOTES_CAP bytes.
bool notes_over_cap();

// Moves up to nevents notes, oldest first, into events; their number.
int take_notes(struct os::kevent *events, int nevents);

// Whether unread notes of one watch merge into one (the default).
void set_note_merging(bool merge);

// Forgets every watch and note (for tests).
void reset_watch_table();

// After an event source lost events: one warning, then the table is
// brought back in line with the processes that exist.
void recover_from_loss();

} // namespace linux_layer
