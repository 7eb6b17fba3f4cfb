#!/usr/bin/env python3
"""Quiet-run benchmark: what a tracer costs when nothing happens.

For each tracer: the time from its start to the first exec of its command
(command scope) or until it shows a canary exec (whole system); then 10 s of
a quiet run, counting the tracer's voluntary wakeups and CPU time; resident
memory in steady state and at its peak. Needs root; peers that are not
installed are skipped with a note.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from common import (SOURCES, add_only_option, chosen, forklog_build, prepare_to_trace,
                    source_environment)

TICKS = os.sysconf("SC_CLK_TCK")

PROBE = r"""
#include <stdio.h>
#include <time.h>
int main(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    printf("%lld\n", (long long)t.tv_sec * 1000000000LL + t.tv_nsec);
    return 0;
}
"""


def build(work):
    probe = os.path.join(work, "probe")
    with open(probe + ".c", "w") as f:
        f.write(PROBE)
    subprocess.run([shutil.which("cc") or "gcc", "-O2", "-o", probe, probe + ".c"], check=True)
    return probe, forklog_build()


def tracers(forklog):
    """(name, scope, argv before the command, environment); scope is command
    or system."""
    found, missing = [], []
    for name, source, whole_system in SOURCES:
        env = source_environment(source)
        found.append((name + " (command)", "command", [forklog, "-o", "/dev/null", "--"], env))
        if whole_system:
            found.append((name + " (whole system)", "system", [forklog], env))
    if shutil.which("strace"):
        found.append(("strace -f (command)", "command",
                      ["strace", "-f", "-qq", "-e", "trace=execve", "-o", "/dev/null"], None))
    else:
        missing.append("strace")
    if shutil.which("forkstat"):
        found.append(("forkstat -e exec", "system", ["forkstat", "-e", "exec"], None))
    else:
        missing.append("forkstat")
    if shutil.which("bpftrace"):
        prog = 'tracepoint:syscalls:sys_enter_execve { printf("%d ", pid); join(args->argv); }'
        found.append(("bpftrace execve", "system", ["bpftrace", "-e", prog], None))
    else:
        missing.append("bpftrace")
    return found, missing


def status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def command_startup(argv, probe, env=None):
    """Milliseconds from starting the tracer to its command's first exec."""
    t0 = time.monotonic_ns()
    out = subprocess.run(argv + [probe], capture_output=True, text=True, env=env).stdout
    return (int(out.split()[-1]) - t0) / 1e6


def system_startup(argv, probe, out_path, env=None):
    """Milliseconds from starting the tracer until it shows a canary exec,
    and the running tracer."""
    t0 = time.monotonic_ns()
    out = open(out_path, "wb")
    proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL, env=env)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        subprocess.run([probe, "canary"], stdout=subprocess.DEVNULL)
        with open(out_path, "rb") as f:
            if b"canary" in f.read():
                return (time.monotonic_ns() - t0) / 1e6, proc
        time.sleep(0.002)
    return float("nan"), proc


def quiet(proc, seconds):
    """Wakeups per second and CPU milliseconds per second of a quiet run."""
    time.sleep(1)
    w0, c0 = status(proc.pid, "voluntary_ctxt_switches"), cpu_seconds(proc.pid)
    rss = status(proc.pid, "VmRSS")
    time.sleep(seconds)
    w1, c1 = status(proc.pid, "voluntary_ctxt_switches"), cpu_seconds(proc.pid)
    return (w1 - w0) / seconds, 1000 * (c1 - c0) / seconds, rss, status(proc.pid, "VmHWM")


def measure(name, scope, argv, env, probe, work, seconds, reps):
    starts = []
    for _ in range(reps):
        if scope == "command":
            starts.append(command_startup(argv, probe, env))
        else:
            ms, proc = system_startup(argv, probe, os.path.join(work, "out"), env)
            proc.send_signal(signal.SIGINT)
            proc.wait()
            starts.append(ms)
    if scope == "command":
        proc = subprocess.Popen(argv + ["sleep", str(seconds + 2)], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env)
    else:
        _, proc = system_startup(argv, probe, os.path.join(work, "out"), env)
    wakeups, cpu, rss, peak = quiet(proc, seconds)
    proc.send_signal(signal.SIGINT)
    proc.wait()
    return starts, wakeups, cpu, rss, peak


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--reps", type=int, default=11, help="start-up runs per tracer")
    add_only_option(parser)
    args = parser.parse_args()
    prepare_to_trace()
    work = tempfile.mkdtemp(prefix="forklog-quiet-")
    probe, forklog = build(work)
    found, missing = tracers(forklog)
    for m in missing:
        print("skipped, not installed: %s" % m)
    base = [command_startup([], probe) for _ in range(args.reps)]
    print("| tracer | start-up ms | wakeups/s quiet | CPU ms/s quiet | RSS MB | peak RSS MB |")
    print("|---|---|---|---|---|---|")
    print("| no tracer (a direct start) | %.1f (%.1f–%.1f) | | | | |" % (
        statistics.median(base), min(base), max(base)))
    for name, scope, argv, env in found:
        if not chosen(name, args.only):
            continue
        try:
            starts, wakeups, cpu, rss, peak = measure(name, scope, argv, env, probe, work,
                                                      args.seconds, args.reps)
        except (OSError, ValueError) as e:
            print("note: %s: %s" % (name, e), file=sys.stderr)
            continue
        what = "to first exec" if scope == "command" else "until ready"
        print("| %s | %.1f (%.1f–%.1f) %s | %.1f | %.2f | %.1f | %.1f |" % (
            name, statistics.median(starts), min(starts), max(starts), what, wakeups, cpu,
            rss / 1024, peak / 1024))
        sys.stdout.flush()
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
