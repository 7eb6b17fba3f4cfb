/* Records that the kernel programs write to the ring buffer, in ring order:
 * a fork before the child's exec, an exec before the exit. Shared by the BPF
 * programs (C) and the layer (C++). */
#ifndef FORKLOG_BPF_RECORDS_H
#define FORKLOG_BPF_RECORDS_H

#define REC_FORK 1
#define REC_EXEC 2
#define REC_MORE 3 /* further data of the exec record before it on that CPU */
#define REC_EXIT 4
#define REC_WAKE 5 /* carries nothing: wakes a reader that went to sleep */

/* Bytes of an argument or environment area sent at most: a larger area is
 * sent cut to this size and flagged. */
#define AREA_CAP (1 << 20)
/* The ring's size, and the fill at which a record wakes the reader: past
 * the mark a record wakes it at once, so that the areas of a few execs of the
 * largest size still fit while it drains. The ring is mapped twice into the
 * reader, so its size counts twice in the reader's resident memory. */
#define RING_BYTES (4 << 20)
#define RING_WAKE_MARK (RING_BYTES / 4)

/* Processes watched at once at most; a child past this goes unwatched and
 * counts as a lost event. The kernel allocates the map's table when the
 * programs load, so a larger one costs start-up time. */
#define WATCHED_MAX (1 << 16)

/* Data bytes one record carries at most. */
#define CHUNK 16384
/* Path components gathered for one exec at most, and their bytes. */
#define PATH_DEPTH 48
#define PATH_BYTES 8192
#define NAME_BYTES 256

/* exec flags */
#define EXEC_ARGV_CUT 1    /* the argument area exceeded the cap: its start sent */
#define EXEC_ENV_CUT 2     /* the environment area exceeded the cap: its start sent */
#define EXEC_ENV_SENT 4    /* the environment was asked for and sent */
#define EXEC_EXE_DELETED 8 /* the executable's path is gone */
#define EXEC_CWD_DELETED 16
#define EXEC_PATH_CUT 32 /* a path was too deep or long: not trustworthy */

/* The watch flags kept in the kernel, as the event queue's notes. */
#define WATCH_EXIT 0x80000000u
#define WATCH_EXEC 0x20000000u
#define WATCH_TRACK 0x00000001u

struct rec_fork {
    unsigned int type;
    unsigned int parent_tgid;
    unsigned int child_tgid;
    unsigned int pad;
    unsigned long long start_ns; /* the child's start, monotonic clock */
};

struct rec_wake {
    unsigned int type;
};

struct rec_exit {
    unsigned int type;
    unsigned int tgid;
    int status; /* wait status */
    unsigned int pad;
    unsigned long long time_ns;
};

/* The part every exec record starts its data with. */
struct rec_chunk {
    unsigned int type;
    unsigned int cpu;
    unsigned long long seq; /* per CPU, counts exec records: gaps are losses */
    unsigned int len;       /* data bytes that follow in this record */
    unsigned int pad;
};

/* One exec: its facts, then its data as one stream over this record and the
 * REC_MORE records of the same CPU that follow: the argument area, the
 * environment area, the executable's path and the working directory, each
 * path as NUL-terminated components from the last to the first. */
struct rec_exec {
    unsigned int type; /* REC_EXEC */
    unsigned int flags;
    unsigned int tgid;
    unsigned int ppid;
    unsigned int euid;
    unsigned int pad;
    unsigned long long time_ns;
    unsigned long long start_ns;
    unsigned long long cgroup_id; /* its group in the unified hierarchy */
    unsigned int argv_len;
    unsigned int env_len;
    unsigned int exe_len;
    unsigned int cwd_len;
    struct rec_chunk chunk; /* type REC_EXEC in the exec record, REC_MORE after */
};

struct watch_value {
    unsigned long long start_ns; /* 0: any process with this tgid */
    unsigned int fflags;
    unsigned int pad;
};

#endif
