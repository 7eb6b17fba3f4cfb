// Watching processes with kqueue. The seam comes first (its header): below,
// the names of its constants are the system's macros, of the same values.
#include "platform/freebsd/process_watch.h"

#include <sys/types.h>
#include <sys/event.h>
#include <sys/sysctl.h>
#include <sys/user.h>

#include <cerrno>
#include <unistd.h>

#include "platform/posix/message.h"

namespace freebsd_layer {

namespace {

constexpr int MAX_NOTES = 64;

// Whether pid is a process that has not ended.
bool alive(int pid)
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    struct kinfo_proc kp;
    size_t len = sizeof kp;
    if (sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len < sizeof kp)
        return false;
    return kp.ki_stat != SZOMB;
}

} // namespace

process_watch::~process_watch()
{
    if (kq_ != -1)
        close(kq_);
}

int process_watch::open()
{
    kq_ = ::kqueue();
    return kq_;
}

int process_watch::apply(const struct os::kevent &change)
{
    if (change.filter == 0)
        return 0;
    if (change.filter == EVFILT_PROC && !(change.fflags & NOTE_EXIT) &&
        !alive(static_cast<int>(change.ident)))
        return ESRCH;
    struct ::kevent k;
    EV_SET(&k, change.ident, change.filter, change.flags, change.fflags, 0, nullptr);
    if (::kevent(kq_, &k, 1, nullptr, 0, nullptr) == -1)
        return errno;
    return 0;
}

int process_watch::wait(struct os::kevent *events, int nevents)
{
    struct ::kevent notes[MAX_NOTES];
    int n = ::kevent(kq_, nullptr, 0, notes, nevents < MAX_NOTES ? nevents : MAX_NOTES, nullptr);
    for (int i = 0; i < n; i++) {
        const struct ::kevent &k = notes[i];
        if (k.filter == EVFILT_PROC) {
            int pid = static_cast<int>(k.ident);
            if (k.fflags & NOTE_CHILD)
                creators_[pid] = static_cast<int>(k.data);
            if (k.fflags & NOTE_EXIT)
                creators_.erase(pid);
            // The kernel could not put a child of this process under watch:
            // what that child runs is not seen.
            if ((k.fflags & NOTE_TRACKERR) && untracked_++ == 0)
                posix_layer::message("warning: the kernel could not watch a new process (of %d); "
                                     "what it runs is not shown",
                                     pid);
        }
        events[i] = {k.ident, k.filter, k.flags, k.fflags, k.data};
        // The parent of a child is in data; only exit notes are read there.
        if (!(k.fflags & NOTE_EXIT))
            events[i].data = 0;
    }
    return n;
}

int process_watch::creator(int pid) const
{
    auto known = creators_.find(pid);
    return known == creators_.end() ? 0 : known->second;
}

} // namespace freebsd_layer
