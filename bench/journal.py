#!/usr/bin/env python3
"""Journal benchmark: how many exec entries per second the journal output
(-J) sustains, beside JSON Lines to standard output (-j), in one run.

forklog follows a command-scope storm of N execs of a tiny target (P
spawners) with the kernel programs, writing either JSON Lines into a pipe
that is read at once, or journal entries; the rate is N over the time from
the storm's start to forklog's end, when every line has been handed on, and
each journal run's entries are counted back with journalctl. Uses the
running journal, or starts a journald of its own (runtime storage) where
none runs, as in a container or CI. Needs root.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from common import compile_storm, forklog_build, source_environment

SOCKET = "/run/systemd/journal/socket"


def journal_running():
    """Starts a journald when none runs; the process to stop afterwards, or None."""
    if os.path.exists(SOCKET):
        probe = subprocess.run(["journalctl", "-n", "0", "-q"], capture_output=True)
        if probe.returncode == 0:
            return None
    os.makedirs("/run/systemd/journal", exist_ok=True)
    journald = subprocess.Popen(["/lib/systemd/systemd-journald"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists(SOCKET):
            return journald
        time.sleep(0.05)
    sys.exit("journal benchmark: no journal socket, and journald did not start")


def one_run(forklog, work, mode, n, p, rep):
    run_dir = tempfile.mkdtemp(dir=work)
    tag = "jb%s%d" % (mode, rep)
    storm = [os.path.join(work, "storm"), str(n), str(p), "0", tag,
             os.path.join(work, "target"), os.path.join(run_dir, "pids"),
             os.path.join(run_dir, "result")]
    flags = ["-J", "-j"] if mode == "journal" else ["-j"]
    start = time.monotonic()
    proc = subprocess.Popen([forklog] + flags + ["--"] + storm, stdout=subprocess.PIPE,
                            env=source_environment("ebpf"))
    lines = 0
    for line in proc.stdout:
        lines += tag.encode() in line
    proc.wait()
    elapsed = time.monotonic() - start
    if mode == "journal":
        subprocess.run(["journalctl", "--sync"], capture_output=True)
        out = subprocess.run(["journalctl", "-t", "forklog", "_PID=%d" % proc.pid, "-o", "cat"],
                             capture_output=True).stdout
        lines = out.count(tag.encode())
    return elapsed, lines


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
    rates = {"json": [], "journal": []}
    complete = {"json": [], "journal": []}
    try:
        for rep in range(args.reps):
            for mode in ("json", "journal"):
                elapsed, lines = one_run(forklog, work, mode, args.n, args.p, rep)
                rates[mode].append(args.n / elapsed)
                complete[mode].append(lines)
    finally:
        if journald:
            journald.terminate()
            journald.wait()
        shutil.rmtree(work, ignore_errors=True)
    print(f"N={args.n} P={args.p} execs, kernel programs, {args.reps} runs each, alternating")
    print("| output | execs/s (median, min–max) | lines or entries of the storm |")
    print("|---|---|---|")
    for mode, label in (("json", "-j to a pipe"), ("journal", "-J -j to the journal")):
        r = rates[mode]
        print(f"| {label} | {statistics.median(r):.0f} ({min(r):.0f}–{max(r):.0f}) | "
              f"{', '.join(str(c) for c in complete[mode])} of {args.n} |")
    ratio = statistics.median(rates["journal"]) / statistics.median(rates["json"])
    print(f"journal / JSON rate: {ratio:.2f}")


if __name__ == "__main__":
    main()
