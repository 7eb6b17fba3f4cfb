#!/usr/bin/env python3
"""Journal benchmark: what the journal output (-J) costs per exec entry,
beside JSON Lines to standard output (-j), in one run.

forklog follows a command-scope storm of N execs of a tiny target (P
spawners) with the kernel programs, writing either JSON Lines into a pipe
that is read at once, or journal entries, which are counted back with
journalctl. The storm's rate is bounded by the machine's fork and exec, so
the figures that tell the outputs apart are forklog's own CPU time per line
(its time less the storm's) and journald's per entry: one core sustains
1e6 / (their sum) entries a second. Uses the running journal, or starts a
journald of its own (runtime storage) where none runs, as in a container or
CI. Needs root.
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from common import compile_storm, forklog_build, source_environment

SOCKET = "/run/systemd/journal/socket"


def journal_running():
    """Starts a journald when none runs; the process to stop afterwards, or None."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.connect(SOCKET)
        return None
    except OSError:
        pass
    # A socket left by a journald that has gone takes no entries.
    if os.path.exists(SOCKET):
        os.unlink(SOCKET)
    os.makedirs("/run/systemd/journal", exist_ok=True)
    journald = subprocess.Popen(["/lib/systemd/systemd-journald"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists(SOCKET):
            return journald
        time.sleep(0.05)
    sys.exit("journal benchmark: no journal socket, and journald did not start")


def cpu_of(pid):
    """User and system seconds of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def one_run(forklog, work, mode, n, p, rep, journald_pid):
    """The storm's rate, forklog's own CPU per line, journald's per entry,
    and how many lines or entries of the storm arrived."""
    run_dir = tempfile.mkdtemp(dir=work)
    tag = "jb%s%d" % (mode, rep)
    result = os.path.join(run_dir, "result")
    storm = [os.path.join(work, "storm"), str(n), str(p), "0", tag,
             os.path.join(work, "target"), os.path.join(run_dir, "pids"), result]
    flags = ["-J", "-j"] if mode == "journal" else ["-j"]
    journald_before = cpu_of(journald_pid) if journald_pid else 0.0
    start = time.monotonic()
    proc = subprocess.Popen([forklog] + flags + ["--"] + storm, stdout=subprocess.PIPE,
                            env=source_environment("ebpf"))
    lines = 0
    for line in proc.stdout:
        lines += tag.encode() in line
    _, _, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - start
    with open(result) as f:
        storm_cpu = float(dict(kv.split("=") for kv in f.read().split())["cpu"])
    # forklog waited for the storm: its time is counted in forklog's.
    forklog_cpu = usage.ru_utime + usage.ru_stime - storm_cpu
    journald_cpu = 0.0
    if mode == "journal":
        subprocess.run(["journalctl", "--sync"], capture_output=True)
        out = subprocess.run(["journalctl", "-t", "forklog", "_PID=%d" % proc.pid, "-o", "cat"],
                             capture_output=True).stdout
        lines = out.count(tag.encode())
        if journald_pid:
            journald_cpu = cpu_of(journald_pid) - journald_before
    return n / elapsed, forklog_cpu / n * 1e6, journald_cpu / n * 1e6, lines


def journald_pid():
    out = subprocess.run(["pidof", "systemd-journald"], capture_output=True, text=True).stdout
    return int(out.split()[0]) if out.split() else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("-n", type=int, default=20000)
    parser.add_argument("-p", type=int, default=2)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("the benchmark needs root: the kernel programs read kernel events")
    work = tempfile.mkdtemp(prefix="forklog-journal-bench-")
    compile_storm(work)
    forklog = forklog_build()
    journald = journal_running()
    results = {"json": [], "journal": []}
    try:
        jd = journald.pid if journald else journald_pid()
        for rep in range(args.reps):
            for mode in ("json", "journal"):
                results[mode].append(one_run(forklog, work, mode, args.n, args.p, rep, jd))
    finally:
        if journald:
            journald.terminate()
            journald.wait()
        shutil.rmtree(work, ignore_errors=True)

    def med(mode, i, fmt):
        v = [r[i] for r in results[mode]]
        return f"{fmt % statistics.median(v)} ({fmt % min(v)}–{fmt % max(v)})"

    print(f"N={args.n} P={args.p} execs, kernel programs, {args.reps} runs each, alternating")
    print("| output | storm execs/s | forklog CPU µs/line | journald CPU µs/entry "
          "| lines or entries of the storm |")
    print("|---|---|---|---|---|")
    for mode, label in (("json", "-j to a pipe"), ("journal", "-J -j to the journal")):
        counts = ", ".join(str(r[3]) for r in results[mode])
        journald_cost = med(mode, 2, "%.1f") if mode == "journal" else ""
        print(f"| {label} | {med(mode, 0, '%.0f')} | {med(mode, 1, '%.1f')} | {journald_cost} "
              f"| {counts} of {args.n} |")
    cost = {m: statistics.median(r[1] + r[2] for r in results[m]) for m in results}
    print(f"entries per second one core sustains, forklog and journald together: "
          f"journal {1e6 / cost['journal']:.0f}, JSON to a pipe {1e6 / cost['json']:.0f} "
          f"(ratio {cost['json'] / cost['journal']:.2f})")


if __name__ == "__main__":
    main()
