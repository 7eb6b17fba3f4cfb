/* Kernel programs: the fork, exec and exit of every watched process, with
 * the facts of each exec as the kernel has them at that moment. Processes
 * nobody watches never leave the kernel. */
#include "kernel_types.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "records.h"

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, RING_BYTES);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, WATCHED_MAX);
    __type(key, u32);
    __type(value, struct watch_value);
} watched SEC(".maps");

/* Whether the reports show environments; set by the reader before it
 * watches any process. */
volatile __u32 want_env = 0;
/* Records the ring had no room for, and children the watch map had none for. */
__u64 drops = 0;
/* Set by the reader before it sleeps with no time-out; the first record
 * after that wakes it, all others are written without a wakeup. */
volatile __u64 reader_asleep = 0;

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, u32);
    __type(value, u64);
} sequence SEC(".maps");

/* The pid namespace the reader lives in, by its inode number. Every pid the
 * programs write or key a watch by is a pid of that namespace; a task outside
 * it has none and is never watched. Set before load. */
const volatile __u32 ns_inum = 0;

/* Namespaces nest at most this deep. */
#define NS_LEVELS 32

/* The number of pid p in the reader's namespace, 0 when it has none there.
 * A pid holds one number per level from the initial namespace down; the
 * reader's namespace is found by its inode number. A bounded loop, which
 * every kernel from 5.3 verifies. */
static __always_inline u32 ns_number(struct pid *p)
{
    if (!p)
        return 0;
    u32 deepest = BPF_CORE_READ(p, level);
    for (u32 level = 0; level < NS_LEVELS && level <= deepest; level++) {
        struct upid u = {};
        if (bpf_core_read(&u, sizeof u, &p->numbers[level]))
            return 0;
        if (BPF_CORE_READ(u.ns, ns.inum) == ns_inum)
            return (u32)u.nr;
    }
    return 0;
}

/* task's process id in the reader's namespace, 0 when outside it. */
static __always_inline u32 ns_tgid(struct task_struct *task)
{
    return ns_number(BPF_CORE_READ(task, group_leader, thread_pid));
}

/* Without a wakeup per record: a reader that is awake drains every few
 * milliseconds, and is woken at once when the ring fills past the mark. A
 * reader that has gone to sleep is woken by the first record after, with a
 * record of its own written after that record is in the ring: either the
 * reader's last look before sleeping finds the record, or the record finds
 * the reader asleep. */
static __always_inline long send(void *data, u64 size)
{
    u64 flags = bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) > RING_WAKE_MARK ? BPF_RB_FORCE_WAKEUP
                                                                               : BPF_RB_NO_WAKEUP;
    long err = bpf_ringbuf_output(&events, data, size, flags);
    if (err)
        __sync_fetch_and_add(&drops, 1);
    /* Two programs may both find the reader asleep: it is then woken twice,
     * which costs nothing; every clearing is followed by a wakeup. */
    if (reader_asleep) {
        reader_asleep = 0;
        struct rec_wake wake = {REC_WAKE};
        bpf_ringbuf_output(&events, &wake, sizeof wake, BPF_RB_FORCE_WAKEUP);
    }
    return err;
}

/* The watch of task's process, or none; drops a watch left by an earlier
 * process with the same pid. */
static __always_inline struct watch_value *watch_of(struct task_struct *task)
{
    u32 tgid = ns_tgid(task);
    if (!tgid)
        return 0;
    struct watch_value *w = bpf_map_lookup_elem(&watched, &tgid);
    if (!w)
        return 0;
    if (w->start_ns) {
        struct task_struct *leader = task;
        u64 start = BPF_CORE_READ(leader, start_time);
        if (BPF_CORE_READ(task, pid) == BPF_CORE_READ(task, tgid) && start != w->start_ns) {
            bpf_map_delete_elem(&watched, &tgid);
            return 0;
        }
    }
    return w;
}

SEC("raw_tp/sched_process_fork")
int BPF_PROG(on_fork, struct task_struct *parent, struct task_struct *child)
{
    if (BPF_CORE_READ(child, pid) != BPF_CORE_READ(child, tgid))
        return 0; /* a thread */
    struct watch_value *w = watch_of(parent);
    if (!w || !(w->fflags & WATCH_TRACK))
        return 0;
    u32 child_tgid = ns_tgid(child);
    if (!child_tgid)
        return 0;
    struct watch_value inherited = {};
    inherited.start_ns = BPF_CORE_READ(child, start_time);
    inherited.fflags = w->fflags;
    if (bpf_map_update_elem(&watched, &child_tgid, &inherited, BPF_ANY))
        __sync_fetch_and_add(&drops, 1); /* the map is full: the child goes unwatched */
    struct rec_fork rec = {};
    rec.type = REC_FORK;
    rec.parent_tgid = ns_tgid(parent);
    rec.child_tgid = child_tgid;
    rec.start_ns = inherited.start_ns;
    send(&rec, sizeof rec);
    return 0;
}

SEC("raw_tp/sched_process_exit")
int BPF_PROG(on_exit, struct task_struct *task)
{
    struct watch_value *w = watch_of(task);
    if (!w)
        return 0;
    /* The count of live threads is already lowered for this one: the
     * process has ended when none is left. */
    struct signal_struct *sig = BPF_CORE_READ(task, signal);
    if (BPF_CORE_READ(sig, live.counter) != 0)
        return 0;
    struct rec_exit rec = {};
    rec.type = REC_EXIT;
    rec.tgid = ns_tgid(task);
    rec.status = (BPF_CORE_READ(sig, flags) & SIGNAL_GROUP_EXIT)
                     ? BPF_CORE_READ(sig, group_exit_code)
                     : BPF_CORE_READ(task, exit_code);
    rec.time_ns = bpf_ktime_get_ns();
    send(&rec, sizeof rec);
    u32 tgid = rec.tgid;
    bpf_map_delete_elem(&watched, &tgid);
    return 0;
}

/* ---- exec ------------------------------------------------------------- */

/* x & mask, in a way the compiler cannot see through, so that the verifier
 * finds the bound on the register the access uses: every kernel's verifier
 * learns a bound from an and with a constant, not all from a comparison
 * with another register, and a bound the compiler proved is lost when it
 * spills the register. */
#define BOUND(x, mask) asm volatile("%0 &= " #mask : "+r"(x))

/* The exec's data goes out as one stream of areas, in steps of at most one
 * record's room, and the paths are gathered one component a step. A step is
 * a global function, which the kernel verifies once, whatever the loop
 * around it; its state stays in the CPU's scratch room, since older kernels
 * let a global function take numbers only. */
#define AREAS 4
#define COPY_STEPS (2 * (AREA_CAP / CHUNK) + 16)
#define PATH_STEPS (2 * PATH_DEPTH)

struct copy_state {
    u32 pos;   /* bytes of data in the current record */
    u32 first; /* the current record is the exec record itself */
    u32 area;
    u32 pad;
    u64 src[AREAS];
    u32 left[AREAS];
};

struct path_state {
    u32 which; /* 0: the executable, 1: the directory, 2: both done */
    u32 cut;
    u64 dentry[2];
    u64 mnt[2]; /* struct mount */
    u32 len[2];
};

/* Room to build one exec's records: a CPU runs one such program at a time.
 * The data has room past a record's for the largest copy a step may make
 * by the verifier's reckoning. */
struct scratch {
    struct rec_exec head;
    char data[3 * CHUNK];
    char path[2][PATH_BYTES + NAME_BYTES]; /* the executable's, the directory's */
    struct copy_state copy;
    struct path_state walk;
};

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1); /* one per CPU, set before load */
    __type(key, u32);
    __type(value, struct scratch);
} scratch SEC(".maps");

static __always_inline void flush(struct scratch *s, struct copy_state *c)
{
    u32 len = c->pos;
    BOUND(len, 0x7fff);
    if (len > CHUNK)
        len = CHUNK;
    s->head.chunk.len = len;
    if (c->first)
        send(&s->head, sizeof(struct rec_exec) + len);
    else
        send(&s->head.chunk, sizeof(struct rec_chunk) + len);
    s->head.chunk.type = REC_MORE;
    c->first = 0;
    c->pos = 0;
}

/* Copies the next step of the CPU's exec data; 1 when all is sent. */
__noinline int copy_step(u32 cpu)
{
    struct scratch *s = bpf_map_lookup_elem(&scratch, &cpu);
    if (!s)
        return 1;
    struct copy_state *c = &s->copy;
    u32 area = c->area;
    if (area >= AREAS) {
        if (c->pos || c->first)
            flush(s, c);
        return 1;
    }
    u32 left = c->left[area];
    if (left == 0) {
        c->area = area + 1;
        return 0;
    }
    u32 pos = c->pos;
    BOUND(pos, 0x3fff); /* CHUNK - 1: a full record is flushed at once */
    u32 n = CHUNK - pos;
    if (n > left)
        n = left;
    BOUND(n, 0x7fff);
    const char *src = (const char *)c->src[area];
    /* The first two areas are the process's memory, the paths the kernel's. */
    if (area < 2)
        bpf_probe_read_user(&s->data[pos], n, src);
    else
        bpf_probe_read_kernel(&s->data[pos], n, src);
    c->src[area] = (u64)(src + n);
    c->left[area] = left - n;
    c->pos = pos + n;
    if (c->pos >= CHUNK)
        flush(s, c);
    return 0;
}

static __always_inline struct mount *real_mount(struct vfsmount *v)
{
    return (void *)v - bpf_core_field_offset(struct mount, mnt);
}

/* One step up the CPU's current path: a mount point crossed, or one
 * component written; at its top, on to the other path. 1 when both are done. */
__noinline int path_step(u32 cpu)
{
    struct scratch *s = bpf_map_lookup_elem(&scratch, &cpu);
    if (!s)
        return 1;
    struct path_state *c = &s->walk;
    u32 which = c->which;
    if (which > 1)
        return 1;
    struct dentry *d = (struct dentry *)c->dentry[which];
    struct mount *m = (struct mount *)c->mnt[which];
    bool done = !d || !m;
    if (!done) {
        struct dentry *root = BPF_CORE_READ(m, mnt.mnt_root);
        if (d == root) {
            struct mount *parent = BPF_CORE_READ(m, mnt_parent);
            if (parent != m) {
                c->dentry[which] = (u64)BPF_CORE_READ(m, mnt_mountpoint);
                c->mnt[which] = (u64)parent;
                return 0;
            }
            done = true;
        }
    }
    if (!done) {
        struct dentry *up = BPF_CORE_READ(d, d_parent);
        u32 len = c->len[which];
        if (up == d) {
            done = true;
        } else if (len > PATH_BYTES - NAME_BYTES) {
            c->cut = 1;
            done = true;
        } else {
            const unsigned char *name = BPF_CORE_READ(d, d_name.name);
            u32 at = len;
            BOUND(at, 0x1fff); /* PATH_BYTES - 1 */
            long n = bpf_probe_read_kernel_str(&s->path[which][at], NAME_BYTES, name);
            if (n <= 0) {
                c->cut = 1;
                done = true;
            } else {
                c->len[which] = len + n;
                c->dentry[which] = (u64)up;
            }
        }
    }
    if (done)
        c->which = which + 1;
    return 0;
}

static __always_inline bool unlinked(struct dentry *d)
{
    return d && !BPF_CORE_READ(d, d_hash.pprev) && BPF_CORE_READ(d, d_parent) != d;
}

SEC("raw_tp/sched_process_exec")
int BPF_PROG(on_exec, struct task_struct *task, pid_t old_pid, struct linux_binprm *bprm)
{
    if (!watch_of(task))
        return 0;
    u32 zero = 0;
    u32 cpu = bpf_get_smp_processor_id();
    struct scratch *s = bpf_map_lookup_elem(&scratch, &cpu);
    u64 *seq = bpf_map_lookup_elem(&sequence, &zero);
    if (!s || !seq)
        return 0;
    struct rec_exec *h = &s->head;
    struct mm_struct *mm = BPF_CORE_READ(task, mm);
    u32 flags = 0;
    h->type = REC_EXEC;
    h->tgid = ns_tgid(task);
    h->ppid = ns_tgid(BPF_CORE_READ(task, real_parent)); /* 0: outside the namespace */
    h->euid = BPF_CORE_READ(task, cred, euid.val);
    h->time_ns = bpf_ktime_get_ns();
    h->start_ns = BPF_CORE_READ(task, start_time);
    h->cgroup_id = bpf_get_current_cgroup_id();
    h->chunk.type = REC_EXEC;
    h->chunk.cpu = cpu;
    h->chunk.seq = (*seq)++;

    unsigned long arg_start = BPF_CORE_READ(mm, arg_start);
    unsigned long arg_len = BPF_CORE_READ(mm, arg_end) - arg_start;
    if (arg_len > AREA_CAP) {
        flags |= EXEC_ARGV_CUT;
        arg_len = AREA_CAP;
    }
    unsigned long env_start = BPF_CORE_READ(mm, env_start);
    unsigned long env_len = 0;
    if (want_env) {
        env_len = BPF_CORE_READ(mm, env_end) - env_start;
        if (env_len > AREA_CAP) {
            flags |= EXEC_ENV_CUT;
            env_len = AREA_CAP;
        }
        flags |= EXEC_ENV_SENT;
    }

    /* Everything the head says is known before its record goes out. */
    struct file *exe = BPF_CORE_READ(mm, exe_file);
    struct fs_struct *fs = BPF_CORE_READ(task, fs);
    struct dentry *exe_dentry = BPF_CORE_READ(exe, f_path.dentry);
    struct dentry *cwd_dentry = BPF_CORE_READ(fs, pwd.dentry);
    struct path_state *p = &s->walk;
    p->which = 0;
    p->cut = 0;
    p->len[0] = 0;
    p->len[1] = 0;
    p->dentry[0] = (u64)exe_dentry;
    p->mnt[0] = (u64)real_mount(BPF_CORE_READ(exe, f_path.mnt));
    p->dentry[1] = (u64)cwd_dentry;
    p->mnt[1] = (u64)real_mount(BPF_CORE_READ(fs, pwd.mnt));
    if (unlinked(exe_dentry))
        flags |= EXEC_EXE_DELETED;
    if (unlinked(cwd_dentry))
        flags |= EXEC_CWD_DELETED;
    for (u32 i = 0; i < PATH_STEPS; i++)
        if (path_step(cpu))
            break;
    if (p->cut || p->which != 2)
        flags |= EXEC_PATH_CUT;
    h->flags = flags;
    h->argv_len = arg_len;
    h->env_len = env_len;
    h->exe_len = p->len[0] > PATH_BYTES ? PATH_BYTES : p->len[0];
    h->cwd_len = p->len[1] > PATH_BYTES ? PATH_BYTES : p->len[1];

    struct copy_state *c = &s->copy;
    c->pos = 0;
    c->first = 1;
    c->area = 0;
    c->src[0] = arg_start;
    c->left[0] = arg_len;
    c->src[1] = env_start;
    c->left[1] = env_len;
    c->src[2] = (u64)s->path[0];
    c->left[2] = h->exe_len;
    c->src[3] = (u64)s->path[1];
    c->left[3] = h->cwd_len;
    for (u32 i = 0; i < COPY_STEPS; i++)
        if (copy_step(cpu))
            break;
    return 0;
}
