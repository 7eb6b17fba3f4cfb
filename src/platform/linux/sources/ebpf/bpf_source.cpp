// The eBPF event source: loading the kernel programs and reading their ring.
#include "platform/linux/sources/ebpf/bpf_source.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "forklog.skel.h"
#include "platform/linux/sources/ebpf/bpf_load_log.h"
#include "platform/linux/sources/ebpf/bpf_records.h"
#include "platform/linux/clocks.h"
#include "platform/linux/sources/ebpf/kernel_btf.h"
#include "platform/linux/pid_namespace.h"

namespace linux_layer {

namespace {

// How often the programs' skipped runs are counted: asking costs a system
// call per program.
constexpr int64_t SKIPPED_RUNS_CHECK_NS = 1000000000;
// Records wake no reader that is awake: it polls this often while they come.
constexpr int POLL_MS = 10;

class bpf_source final : public event_source, public polled_source {
public:
    ~bpf_source() override
    {
        if (ring_)
            ring_buffer__free(ring_);
        forklog_bpf__destroy(skel_);
    }

    // errno when it cannot be loaded, with *why as open_bpf_source says.
    int open(std::string *why);

    int descriptor() const override { return ring_buffer__epoll_fd(ring_); }
    bool records_facts() const override { return true; }
    int poll_interval_ms() const override { return POLL_MS; }

    int drain(event_sink &sink) override
    {
        sink_ = &sink;
        int records = ring_buffer__consume(ring_);
        check_drops(sink);
        int64_t now = monotonic_ns();
        if (now - skipped_checked_ns_ > SKIPPED_RUNS_CHECK_NS) {
            check_skipped_runs(sink);
            skipped_checked_ns_ = now;
        }
        return records > 0 ? records : 0;
    }

    void want(const facts_wanted &wanted) override { skel_->bss->want_env = wanted.environment; }

    int watch(int pid, uint32_t fflags) override
    {
        watch_value w = {};
        w.fflags = fflags;
        uint32_t key = static_cast<uint32_t>(pid);
        // Fails when the map is full (WATCHED_MAX processes).
        if (bpf_map_update_elem(bpf_map__fd(skel_->maps.watched), &key, &w, BPF_ANY) != 0)
            return errno;
        return 0;
    }

    bool sleep(event_sink &sink) override
    {
        // The flag is set before the last look, and every program reads it
        // after its record is in the ring: a record is found now, or it wakes us.
        __atomic_store_n(&skel_->bss->reader_asleep, 1, __ATOMIC_SEQ_CST);
        if (drain(sink) == 0)
            return true;
        awake();
        return false;
    }

    void awake() override { __atomic_store_n(&skel_->bss->reader_asleep, 0, __ATOMIC_SEQ_CST); }

private:
    static int on_record(void *context, void *data, size_t size)
    {
        auto *self = static_cast<bpf_source *>(context);
        self->records_.take(data, size, *self->sink_);
        return 0;
    }

    // Records the ring had no room for: a counter the programs share with us.
    void check_drops(event_sink &sink)
    {
        uint64_t drops = skel_->bss->drops;
        if (drops > drops_seen_) {
            records_.dropped(drops - drops_seen_, sink);
            drops_seen_ = drops;
        }
    }

    // Runs of the programs the kernel skipped because another run of them
    // was under way on the same CPU.
    void check_skipped_runs(event_sink &sink)
    {
        uint64_t misses = 0;
        for (bpf_program *prog :
             {skel_->progs.on_fork, skel_->progs.on_exec, skel_->progs.on_exit}) {
            bpf_prog_info info = {};
            uint32_t len = sizeof info;
            if (bpf_obj_get_info_by_fd(bpf_program__fd(prog), &info, &len) == 0)
                misses += info.recursion_misses;
        }
        if (misses > misses_seen_) {
            sink.on_lost(misses - misses_seen_);
            misses_seen_ = misses;
        }
    }

    forklog_bpf *skel_ = nullptr;
    ring_buffer *ring_ = nullptr;
    event_sink *sink_ = nullptr; // of the drain under way
    bpf_records records_;
    uint64_t drops_seen_ = 0;
    uint64_t misses_seen_ = 0;
    int64_t skipped_checked_ns_ = 0;
};

int silent(libbpf_print_level, const char *, va_list)
{
    return 0;
}

// libbpf speaks through one callback for the whole process: while the
// programs load, its warnings (the verifier's log among them) are kept, and
// nothing is printed.
class libbpf_log {
public:
    libbpf_log()
    {
        kept_ = &text_;
        libbpf_set_print(keep);
    }
    ~libbpf_log()
    {
        libbpf_set_print(silent);
        kept_ = nullptr;
    }
    libbpf_log(const libbpf_log &) = delete;
    libbpf_log &operator=(const libbpf_log &) = delete;

    const std::string &text() const { return text_; }

private:
    static int keep(libbpf_print_level level, const char *format, va_list args)
    {
        if (level == LIBBPF_DEBUG || !kept_)
            return 0;
        va_list again;
        va_copy(again, args);
        int n = vsnprintf(nullptr, 0, format, args);
        if (n > 0) {
            std::string message(static_cast<size_t>(n) + 1, '\0');
            vsnprintf(message.data(), message.size(), format, again);
            message.resize(static_cast<size_t>(n));
            kept_->append(message);
        }
        va_end(again);
        return 0;
    }

    static inline std::string *kept_ = nullptr;
    std::string text_;
};

// Whether the tool holds what loading tracing programs takes: without it a
// failure is no news, and the next source is used without a word.
bool may_load_programs()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return geteuid() == 0;
    auto has = [&data](int cap) { return (data[cap / 32].effective & (1u << (cap % 32))) != 0; };
    return has(CAP_SYS_ADMIN) || (has(CAP_BPF) && has(CAP_PERFMON));
}

// libbpf takes a feature probe that found no free descriptor for a kernel
// without the feature, then fails on what the feature was for, and closes
// what it had opened. A tool with fewer free descriptors than the programs
// hold once loaded was short of them, whatever the failure said.
bool short_of_descriptors(const bpf_object_skeleton &skeleton)
{
    // Each map, each program and its link, the object's types, a probe
    // and the ring's epoll.
    const long needed = skeleton.map_cnt + 2L * skeleton.prog_cnt + 3;
    rlimit limit;
    DIR *dir = opendir("/proc/self/fd");
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || !dir) {
        if (dir)
            closedir(dir);
        return false;
    }
    long open_now = 0;
    while (const dirent *entry = readdir(dir))
        open_now += entry->d_name[0] != '.';
    closedir(dir);
    // The count holds the directory's own descriptor.
    return static_cast<long>(limit.rlim_cur) - (open_now - 1) < needed;
}

int bpf_source::open(std::string *why)
{
    why->clear();
    libbpf_log log;
    // On the build's own kernel the types come from the build, which saves
    // parsing the whole kernel BTF.
    matching_kernel_btf btf;
    bpf_object_open_opts opts = {};
    opts.sz = sizeof opts;
    opts.btf_custom_path = btf.path();
    int e = 0;
    uint32_t ns;
    if (!(skel_ = forklog_bpf__open_opts(&opts))) {
        e = errno;
    } else if (!own_pid_namespace(&ns)) {
        e = ENOENT;
        *why = "/proc does not tell the tool's pid namespace";
        return e;
    } else {
        skel_->rodata->ns_inum = ns;
        int cpus = libbpf_num_possible_cpus();
        if (cpus <= 0 ||
            bpf_map__set_max_entries(skel_->maps.scratch, static_cast<uint32_t>(cpus)) ||
            forklog_bpf__load(skel_) || forklog_bpf__attach(skel_))
            e = errno ? errno : EOPNOTSUPP;
    }
    if (e) {
        if (may_load_programs()) {
            bool verifier;
            *why = load_failure_reason(log.text(), e, &verifier);
            if (e != EMFILE && skel_ && short_of_descriptors(*skel_->skeleton)) {
                e = EMFILE;
                verifier = false;
            }
            if (why->empty())
                *why = strerror(e);
            else if (!verifier)
                *why += std::string(" (") + strerror(e) + ")";
        }
        return e;
    }
    ring_ = ring_buffer__new(bpf_map__fd(skel_->maps.events), on_record, this, nullptr);
    if (!ring_) {
        e = errno ? errno : ENOMEM;
        *why = std::string("the ring buffer cannot be read: ") + strerror(e);
        return e;
    }
    return 0;
}

} // namespace

std::unique_ptr<event_source> open_bpf_source(std::string *why)
{
    auto source = std::make_unique<bpf_source>();
    if (int e = source->open(why)) {
        source.reset();
        errno = e;
        return nullptr;
    }
    return source;
}

} // namespace linux_layer
