/* The few kernel structures and fields the programs read. Offsets come from
 * the running kernel's BTF at load time (CO-RE), so these declarations name
 * fields and leave layout to the kernel. */
#ifndef FORKLOG_KERNEL_TYPES_H
#define FORKLOG_KERNEL_TYPES_H

typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef unsigned long long __u64;
typedef signed char __s8;
typedef short __s16;
typedef int __s32;
typedef long long __s64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;
typedef __u8 u8;
typedef __u32 u32;
typedef __s32 s32;
typedef __u64 u64;
typedef int pid_t;
typedef _Bool bool;
#define true 1
#define false 0

enum bpf_map_type {
    BPF_MAP_TYPE_HASH = 1,
    BPF_MAP_TYPE_ARRAY = 2,
    BPF_MAP_TYPE_PERCPU_ARRAY = 6,
    BPF_MAP_TYPE_RINGBUF = 27,
};

enum {
    BPF_ANY = 0,
    BPF_RB_NO_WAKEUP = 1,
    BPF_RB_FORCE_WAKEUP = 2,
    BPF_RB_AVAIL_DATA = 0,
};

#define SIGNAL_GROUP_EXIT 0x00000004

#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)

struct qstr {
    union {
        struct {
            u32 hash;
            u32 len;
        };
        u64 hash_len;
    };
    const unsigned char *name;
};

struct hlist_bl_node {
    struct hlist_bl_node *next, **pprev;
};

struct dentry {
    struct hlist_bl_node d_hash;
    struct dentry *d_parent;
    struct qstr d_name;
};

struct vfsmount {
    struct dentry *mnt_root;
};

struct mount {
    struct mount *mnt_parent;
    struct dentry *mnt_mountpoint;
    struct vfsmount mnt;
};

struct path {
    struct vfsmount *mnt;
    struct dentry *dentry;
};

struct file {
    struct path f_path;
};

struct fs_struct {
    struct path pwd;
};

typedef struct {
    int counter;
} atomic_t;

struct signal_struct {
    atomic_t live;
    int group_exit_code;
    unsigned int flags;
};

typedef struct {
    u32 val;
} kuid_t;

struct cred {
    kuid_t uid;
    kuid_t euid;
};

struct mm_struct {
    unsigned long arg_start;
    unsigned long arg_end;
    unsigned long env_start;
    unsigned long env_end;
    struct file *exe_file;
};

struct ns_common {
    unsigned int inum;
};

struct pid_namespace {
    unsigned int level;
    struct ns_common ns;
};

struct upid {
    int nr;
    struct pid_namespace *ns;
};

struct pid {
    unsigned int level;
    struct upid numbers[1]; /* level + 1 entries, from the initial namespace down */
};

struct task_struct {
    pid_t pid;
    pid_t tgid;
    struct pid *thread_pid;
    struct task_struct *group_leader;
    struct task_struct *real_parent;
    struct mm_struct *mm;
    struct fs_struct *fs;
    const struct cred *cred;
    u64 start_time;
    int exit_code;
    struct signal_struct *signal;
};

struct linux_binprm {
    struct file *file;
};

#pragma clang attribute pop

#endif
