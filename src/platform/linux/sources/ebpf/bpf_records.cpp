// Putting each exec back together from the ring's records.
#include "platform/linux/sources/ebpf/bpf_records.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/linux/clocks.h"

namespace linux_layer {

namespace {

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
        path.append(" (deleted)");
    return path;
}

// The facts of an exec; without its data when not whole, so that every
// query about it is answered from /proc rather than from part of an area.
std::shared_ptr<exec_facts> facts_of(const rec_exec &h, const std::vector<char> &data, bool whole)
{
    auto f = std::make_shared<exec_facts>();
    f->record.ki_pid = static_cast<int>(h.tgid);
    f->record.ki_ppid = static_cast<int>(h.ppid);
    f->record.ki_uid = h.euid;
    f->record.ki_stat = os::SRUN;
    f->record.ki_start =
        timeval_from_us(wall_us_from_monotonic_ns(static_cast<int64_t>(h.start_ns)));
    f->record.ki_exectime =
        timeval_from_us(wall_us_from_monotonic_ns(static_cast<int64_t>(h.time_ns)));
    f->cgroup_id = h.cgroup_id;
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

} // namespace

void bpf_records::finish(assembly &a, bool whole, event_sink &sink)
{
    a.active = false;
    sink.on_exec(static_cast<int>(a.head.tgid), static_cast<int64_t>(a.head.time_ns),
                 facts_of(a.head, a.data, whole));
}

void bpf_records::add_data(assembly &a, const char *bytes, size_t len, event_sink &sink)
{
    size_t room = total_length(a.head) - a.data.size();
    a.data.insert(a.data.end(), bytes, bytes + std::min(len, room));
    if (a.data.size() == total_length(a.head))
        finish(a, true, sink);
}

void bpf_records::start_exec(const rec_exec *h, size_t size, event_sink &sink)
{
    unsigned cpu = h->chunk.cpu;
    if (cpu >= assemblies_.size()) {
        assemblies_.resize(cpu + 1);
        next_seq_.resize(cpu + 1, -1);
    }
    assembly &a = assemblies_[cpu];
    if (a.active) // its last records found no room: /proc answers for it
        finish(a, false, sink);
    int64_t seq = static_cast<int64_t>(h->chunk.seq);
    if (next_seq_[cpu] >= 0 && seq > next_seq_[cpu])
        sink.on_lost(static_cast<uint64_t>(seq - next_seq_[cpu]));
    next_seq_[cpu] = seq + 1;
    a.active = true;
    a.head = *h;
    a.data.clear();
    if (total_length(a.head) == 0)
        finish(a, true, sink);
    else
        add_data(a, reinterpret_cast<const char *>(h + 1),
                 std::min<size_t>(h->chunk.len, size - sizeof *h), sink);
}

void bpf_records::more_exec(const rec_chunk *c, size_t size, event_sink &sink)
{
    if (c->cpu >= assemblies_.size())
        return;
    assembly &a = assemblies_[c->cpu];
    if (!a.active || a.head.chunk.seq != c->seq)
        return;
    add_data(a, reinterpret_cast<const char *>(c + 1), std::min<size_t>(c->len, size - sizeof *c),
             sink);
}

void bpf_records::take(const void *data, size_t size, event_sink &sink)
{
    if (size < sizeof(unsigned int))
        return;
    unsigned int type;
    memcpy(&type, data, sizeof type);
    if (type == REC_FORK && size >= sizeof(rec_fork)) {
        rec_fork r;
        memcpy(&r, data, sizeof r);
        sink.on_fork(static_cast<int>(r.parent_tgid), static_cast<int>(r.child_tgid),
                     static_cast<int64_t>(r.start_ns));
    } else if (type == REC_EXIT && size >= sizeof(rec_exit)) {
        rec_exit r;
        memcpy(&r, data, sizeof r);
        sink.on_exit(static_cast<int>(r.tgid), r.status, static_cast<int64_t>(r.time_ns));
    } else if (type == REC_MORE && size >= sizeof(rec_chunk)) {
        more_exec(static_cast<const rec_chunk *>(data), size, sink);
    } else if (type == REC_EXEC && size >= sizeof(rec_exec)) {
        start_exec(static_cast<const rec_exec *>(data), size, sink);
    }
}

void bpf_records::dropped(uint64_t count, event_sink &sink)
{
    if (count == 0)
        return;
    sink.on_lost(count);
    for (assembly &a : assemblies_)
        if (a.active)
            finish(a, false, sink);
}

} // namespace linux_layer
