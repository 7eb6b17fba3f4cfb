// Start-up and registration of every watch of the run.
#include "run/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <err.h>

#include "run/settings.h"

namespace {

void register_one(int16_t filter, int ident, uint32_t fflags)
{
    struct os::kevent change = {};
    change.ident = static_cast<uintptr_t>(static_cast<intptr_t>(ident));
    change.filter = filter;
    change.flags = os::EV_ADD;
    change.fflags = fflags;
    if (os::kevent(run_settings.kq, &change, 1, nullptr, 0) == -1)
        err(1, "kevent");
}

// Every process but pid 0 and zombies: pid 1 and the kernel's own processes
// too, so that what they start later (services, the kernel's helpers) is
// followed.
bool suitable(const os::kinfo_proc &kp)
{
    return kp.ki_pid != 0 && kp.ki_stat != os::SZOMB;
}

// One snapshot, one registration call. Returns the call's errno, 0 on success.
int watch_snapshot(const os::kinfo_proc *procs, int count)
{
    auto *changes = static_cast<struct os::kevent *>(calloc(count, sizeof(struct os::kevent)));
    if (!changes)
        err(1, "calloc");
    for (int i = 0; i < count; i++) {
        if (!suitable(procs[i]))
            continue;
        changes[i].ident = static_cast<uintptr_t>(static_cast<intptr_t>(procs[i].ki_pid));
        changes[i].filter = os::EVFILT_PROC;
        changes[i].flags = os::EV_ADD;
        changes[i].fflags = os::NOTE_EXIT | os::NOTE_EXEC | os::NOTE_TRACK;
    }
    int failure = 0;
    // A process that ended since the snapshot is no news: the caller takes
    // a new snapshot.
    if (os::kevent(run_settings.kq, changes, count, nullptr, 0) == -1) {
        failure = errno;
        if (failure != ESRCH)
            warn("kevent ALL");
    }
    free(changes);
    return failure;
}

} // namespace

void start_command(char *argv[], int first)
{
    run_settings.root_pid = os::fork();
    if (run_settings.root_pid == -1)
        err(1, "fork");
    if (run_settings.root_pid == 0) {
        os::execvp(argv[first], &argv[first]);
        // As shells report it: 127 for a command not found, 126 for one
        // that cannot be run.
        int status = errno == ENOENT ? 127 : 126;
        warn("execvp");
        exit(status);
    }
    run_settings.command = true;
}

bool watch_all_processes()
{
    // A process that ends between the snapshot and the registration makes
    // the call fail with ESRCH: take a new snapshot. Renewing the watches
    // that the failed attempt made does no harm.
    for (;;) {
        int count;
        const os::kinfo_proc *procs =
            os::kvm_getprocs(run_settings.kd, os::KERN_PROC_ALL, 0, &count);
        if (!procs) {
            fprintf(stderr, "forklog: kvm_getprocs ALL: %s\n", os::kvm_geterr(run_settings.kd));
            return false;
        }
        if (watch_snapshot(procs, count) != ESRCH)
            return true;
    }
}

void watch_root()
{
    // First without exit notes, so that a root that has already ended, or
    // is a zombie, is refused; then with them, so that the end of each
    // watched process frees its slot.
    register_one(os::EVFILT_PROC, run_settings.root_pid, os::NOTE_EXEC | os::NOTE_TRACK);
    register_one(os::EVFILT_PROC, run_settings.root_pid,
                 os::NOTE_EXIT | os::NOTE_EXEC | os::NOTE_TRACK);
}

int start_up(int argc, char *argv[], int first)
{
    os::kqueue_will_watch(first == argc && run_settings.root_pid == 1);
    run_settings.kq = os::kqueue();
    if (run_settings.kq == -1)
        err(1, "kqueue");
    run_settings.kd = os::kvm_openfiles(nullptr, nullptr, nullptr, os::OPEN_READONLY, nullptr);
    if (!run_settings.kd)
        err(1, "kvm_open");
    os::kvm_will_ask(run_settings.show_env, run_settings.show_cgroup || run_settings.journal);
    if (first != argc) {
        // In place before the command's process exists, so its end is seen.
        register_one(os::EVFILT_SIGNAL, os::SIGNO_CHLD, 0);
        start_command(argv, first);
        // The terminal's stop is the command's to take or to handle: the
        // tool stops when the command does, not before it, so the shell
        // sees the job stop when the command has.
        os::signal(os::SIGNO_TSTP, os::SIGNAL_IGNORE);
    }
    os::signal(os::SIGNO_INT, os::SIGNAL_IGNORE);
    register_one(os::EVFILT_SIGNAL, os::SIGNO_INT, 0);
    // Log rotation's signal; without a file to reopen it ends the run.
    if (run_settings.output_path) {
        os::signal(os::SIGNO_HUP, os::SIGNAL_IGNORE);
        register_one(os::EVFILT_SIGNAL, os::SIGNO_HUP, 0);
    }
    if (run_settings.root_pid == 1)
        return watch_all_processes() ? 0 : -1;
    watch_root();
    return 0;
}
