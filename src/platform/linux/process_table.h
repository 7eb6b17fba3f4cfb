// The layer's table of live processes, kept from the kernel's fork, exec,
// uid and exit events after one scan of /proc, so that most record queries
// cost no system call.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/linux/proc/procfs.h"
#include "platform/platform.h"

namespace linux_layer {

class process_table {
public:
    explicit process_table(const procfs &proc) : proc_(proc) {}

    // Fills the table from /proc, forgetting what it held.
    void seed();
    // After lost events: adds what /proc shows that the table does not
    // know, and ends what it knows that /proc no longer shows, as at
    // position in the notes; known live processes keep their creators.
    void reseed(uint64_t position);
    // Keeps kp's process in the table; where the table saw it created, kp's
    // parent becomes that creator.
    void remember(os::kinfo_proc &kp);
    // pid's record as the table knows it; false when only /proc can tell.
    bool record(int pid, os::kinfo_proc *kp);
    // pid's record as the table last knew it, its user perhaps from before
    // its latest exec; false when the table does not know it as a live
    // process.
    bool last_known(int pid, os::kinfo_proc *kp) const;
    // The exact start time of pid, when the table holds one close to near_us.
    bool start(int pid, int64_t near_us, int64_t *start_us) const;

    void fork(int parent_tgid, int child_tgid, int64_t ns);
    void exec(int tgid, int64_t ns);
    void uid(int tgid, uint32_t euid);
    // The end of tgid, when position notes had been queued in all.
    void exit(int tgid, uint64_t position);
    // Forgets the ended processes whose notes up to position are handed out.
    void forget_ended(uint64_t position);

private:
    struct known_process {
        int ppid;
        uint64_t parent_serial; // the parent's serial when the link was made
        uint64_t serial;        // tells the successive processes of one pid apart
        uint32_t euid;
        int64_t start_us;
        int64_t exec_us; // its latest exec, 0 when not seen
        bool euid_fresh; // false after an exec, which may run a set-user-id program
        bool ended;
        bool handed_out;   // ended, and every note before its end handed out
        uint64_t ended_at; // the position in the notes at its end
        int children;      // processes in the table linked to this one as their parent
    };

    static void fill(int pid, const known_process &k, os::kinfo_proc *kp);
    std::vector<os::kinfo_proc> live_processes() const;
    known_process *parent_of(const known_process &k);
    void release_parent(const known_process &k);
    void erase(int pid);
    void link(known_process &k, int ppid);
    void insert(int pid, int ppid, uint32_t euid, int64_t start_us, bool euid_fresh);

    const procfs &proc_;
    std::unordered_map<int, known_process> table_;
    std::vector<int> ended_;
    uint64_t next_serial_ = 1;
};

} // namespace linux_layer
