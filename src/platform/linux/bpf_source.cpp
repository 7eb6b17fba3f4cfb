// The eBPF event source: kernel programs on the fork, exec and exit
// tracepoints record every watched process's events, with the facts of each
// exec, into one ring buffer that is read in order.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "forklog.skel.h"
#include "platform/linux/bpf/records.h"
#include "platform/linux/exec_facts.h"
#include "platform/linux/kernel_btf.h"
#include "platform/linux/layer.h"
#include "platform/linux/watch_table.h"

// Watches go into the kernel's map with the event queue's note bits as they are.
static_assert(os::NOTE_EXIT == WATCH_EXIT && os::NOTE_EXEC == WATCH_EXEC &&
                  os::NOTE_TRACK == WATCH_TRACK,
              "the kernel programs read the note bits of a watch");

namespace linux_layer {

namespace {

forklog_bpf *skel = nullptr;
ring_buffer *ring = nullptr;

// One exec being put together from its records, per CPU.
struct assembly {
    bool active = false;
    rec_exec head;
    std::vector<char> data;
};

std::vector<assembly> assemblies;
std::vector<int64_t> next_seq; // per CPU; -1 before the first exec record
uint64_t drops_seen = 0;
uint64_t misses_seen = 0;

size_t total_length(const rec_exec &h)
{
    return size_t{h.argv_len} + h.env_len + h.exe_len + h.cwd_len;
}

// Path components come from the last to the first.
std::string join_path(const char *bytes, size_t len, bool deleted)
{
    std::vector<std::string> parts;
    for (size_t i = 0; i < len;) {
        size_t n = strnlen(bytes + i, len - i);
        parts.emplace_back(bytes + i, n);
        i += n + 1;
    }
    std::string path;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        path.push_back('/');
        path.append(*it);
    }
    if (path.empty())
        path.assign(1, '/');
    if (deleted)
        path.append(" (deleted)", 10);
    return path;
}

std::shared_ptr<exec_facts> facts_of(const rec_exec &h, const std::vector<char> &data, bool whole)
{
    auto f = std::make_shared<exec_facts>();
    f->record.ki_pid = static_cast<int>(h.tgid);
    f->record.ki_ppid = static_cast<int>(h.ppid);
    f->record.ki_uid = h.euid;
    f->record.ki_stat = os::SRUN;
    f->record.ki_start = timeval_from_us(wall_us_from_monotonic_ns(static_cast<int64_t>(h.start_ns)));
    f->record.ki_exectime =
        timeval_from_us(wall_us_from_monotonic_ns(static_cast<int64_t>(h.time_ns)));
    if (!whole)
        return f;
    const char *p = data.data();
    f->argv_ok = h.argv_len > 0;
    f->argv_cut = (h.flags & EXEC_ARGV_CUT) != 0;
    f->argv_bytes.assign(p, p + h.argv_len);
    p += h.argv_len;
    f->env_ok = (h.flags & EXEC_ENV_SENT) != 0;
    f->env_cut = (h.flags & EXEC_ENV_CUT) != 0;
    f->env_bytes.assign(p, p + h.env_len);
    p += h.env_len;
    bool paths_ok = !(h.flags & EXEC_PATH_CUT);
    f->exe_ok = paths_ok && h.exe_len > 0;
    f->exe = join_path(p, h.exe_len, h.flags & EXEC_EXE_DELETED);
    p += h.exe_len;
    f->cwd_ok = paths_ok && h.cwd_len > 0;
    f->cwd = join_path(p, h.cwd_len, h.flags & EXEC_CWD_DELETED);
    return f;
}

void finish(assembly &a, bool whole)
{

    a.active = false;
    on_exec_facts(static_cast<int>(a.head.tgid), static_cast<int64_t>(a.head.time_ns),
                  facts_of(a.head, a.data, whole));
}

void add_data(assembly &a, const char *bytes, size_t len)
{
    size_t room = total_length(a.head) - a.data.size();
    a.data.insert(a.data.end(), bytes, bytes + std::min(len, room));
    if (a.data.size() == total_length(a.head))
        finish(a, true);
}

void start_exec(const rec_exec *h, size_t size)
{
    unsigned cpu = h->chunk.cpu;
    if (cpu >= assemblies.size()) {
        assemblies.resize(cpu + 1);
        next_seq.resize(cpu + 1, -1);
    }
    assembly &a = assemblies[cpu];
    if (a.active) // its last records found no room: /proc answers for it
        finish(a, false);
    int64_t seq = static_cast<int64_t>(h->chunk.seq);
    if (next_seq[cpu] >= 0 && seq > next_seq[cpu])
        on_lost(static_cast<uint64_t>(seq - next_seq[cpu]));
    next_seq[cpu] = seq + 1;
    a.active = true;
    a.head = *h;
    a.data.clear();
    size_t len = std::min<size_t>(h->chunk.len, size - sizeof *h);
    if (total_length(a.head) == 0)
        finish(a, true);
    else
        add_data(a, reinterpret_cast<const char *>(h + 1), len);
}

void more_exec(const rec_chunk *c, size_t size)
{
    if (c->cpu >= assemblies.size())
        return;
    assembly &a = assemblies[c->cpu];
    if (!a.active || a.head.chunk.seq != c->seq)
        return;
    add_data(a, reinterpret_cast<const char *>(c + 1), std::min<size_t>(c->len, size - sizeof *c));
}

int handle_record(void *, void *data, size_t size)
{
    if (size < sizeof(unsigned int))
        return 0;
    unsigned int type;
    memcpy(&type, data, sizeof type);
    if (type == REC_FORK && size >= sizeof(rec_fork)) {
        const auto *r = static_cast<const rec_fork *>(data);
        on_fork(static_cast<int>(r->parent_tgid), static_cast<int>(r->child_tgid),
                static_cast<int64_t>(r->start_ns));
    } else if (type == REC_EXIT && size >= sizeof(rec_exit)) {
        const auto *r = static_cast<const rec_exit *>(data);
        on_exit(static_cast<int>(r->tgid), r->status, static_cast<int64_t>(r->time_ns));
    } else if (type == REC_MORE && size >= sizeof(rec_chunk)) {
        more_exec(static_cast<const rec_chunk *>(data), size);
    } else if (type == REC_EXEC && size >= sizeof(rec_exec)) {
        start_exec(static_cast<const rec_exec *>(data), size);
    }
    return 0;
}

// Records the ring had no room for: a counter the programs share with us.
void check_drops()
{
    uint64_t drops = skel->bss->drops;
    if (drops > drops_seen) {
        on_lost(drops - drops_seen);
        drops_seen = drops;
        for (assembly &a : assemblies)
            if (a.active)
                finish(a, false);
    }
}

// Runs of the programs the kernel skipped because another run of them was
// under way on the same CPU; asking costs a system call per program.
void check_skipped_runs()
{
    uint64_t misses = 0;
    for (bpf_program *prog : {skel->progs.on_fork, skel->progs.on_exec, skel->progs.on_exit}) {
        bpf_prog_info info = {};
        uint32_t len = sizeof info;
        if (bpf_obj_get_info_by_fd(bpf_program__fd(prog), &info, &len) == 0)
            misses += info.recursion_misses;
    }
    if (misses > misses_seen) {
        on_lost(misses - misses_seen);
        misses_seen = misses;
    }
}

int silent(libbpf_print_level, const char *, va_list)
{
    return 0;
}

} // namespace

int bpf_source_open()
{
    libbpf_set_print(silent);
    // On the build's own kernel the types come from the build, which saves
    // parsing the whole kernel BTF.
    bpf_object_open_opts opts = {};
    opts.sz = sizeof opts;
    opts.btf_custom_path = matching_kernel_btf();
    skel = forklog_bpf__open_opts(&opts);
    if (!skel)
        return -1;
    uint32_t ns;
    if (!own_pid_namespace(&ns)) {
        forklog_bpf__destroy(skel);
        skel = nullptr;
        errno = ENOENT;
        return -1;
    }
    skel->rodata->ns_inum = ns;
    int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0 || bpf_map__set_max_entries(skel->maps.scratch, static_cast<uint32_t>(cpus)) ||
        forklog_bpf__load(skel) || forklog_bpf__attach(skel)) {
        int saved = errno;
        forklog_bpf__destroy(skel);
        skel = nullptr;
        errno = saved ? saved : EOPNOTSUPP;
        return -1;
    }
    ring = ring_buffer__new(bpf_map__fd(skel->maps.events), handle_record, nullptr, nullptr);
    if (!ring) {
        forklog_bpf__destroy(skel);
        skel = nullptr;
        return -1;
    }
    set_note_merging(false);
    return ring_buffer__epoll_fd(ring);
}

int bpf_source_drain()
{
    int records = ring_buffer__consume(ring);
    check_drops();
    static int64_t checked_ns = 0;
    int64_t now = monotonic_ns();
    if (now - checked_ns > 1000000000) {
        check_skipped_runs();
        checked_ns = now;
    }
    return records > 0 ? records : 0;
}

bool bpf_source_sleep()
{
    // The flag is set before the last look, and every program reads it after
    // its record is in the ring: a record is found now, or it wakes us.
    __atomic_store_n(&skel->bss->reader_asleep, 1, __ATOMIC_SEQ_CST);
    if (bpf_source_drain() == 0)
        return true;
    bpf_source_awake();
    return false;
}

void bpf_source_awake()
{
    __atomic_store_n(&skel->bss->reader_asleep, 0, __ATOMIC_SEQ_CST);
}

void bpf_source_watch(int pid, uint32_t fflags)
{
    watch_value w = {};
    w.fflags = fflags;
    uint32_t key = static_cast<uint32_t>(pid);
    bpf_map_update_elem(bpf_map__fd(skel->maps.watched), &key, &w, BPF_ANY);
}

void source_want_env(bool wanted)
{
    if (skel)
        skel->bss->want_env = wanted;
}

} // namespace linux_layer
