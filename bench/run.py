#!/usr/bin/env python3
"""Exec-storm benchmark: forklog beside the peers a user would pick instead.

For each case and tracer: start the tracer, wait until a canary exec shows in
its output, run the storm, wait until the output stops growing, stop the
tracer, and score its output against the storm's own log of pids. Storm times
are compared with runs without a tracer in the same session, alternating.
Needs root. Peers that are not installed are skipped with a note.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from common import (SOURCES, add_only_option, chosen, compile_storm, forklog_build,
                    prepare_to_trace, source_environment)

CASES = [
    # name, N, P, target lifetime in microseconds
    ("N=2000 P=1 exit at once", 2000, 1, 0),
    ("N=20000 P=2 exit at once", 20000, 2, 0),
    ("N=2000 P=2 living 2 ms", 2000, 2, 2000),
    ("N=2000 P=2 living 20 ms", 2000, 2, 20000),
]


def build(work):
    """Compiles the storm and its target; builds forklog if needed."""
    compile_storm(work)
    return forklog_build()


# ---- output parsers: (pid, words as one string) per line, or None ---------

def parse_forklog(line):
    m = re.match(r"^ *(\d+)\+? (.*)$", line)
    return (int(m.group(1)), m.group(2)) if m else None


def parse_forkstat(line):
    m = re.match(r"^\S+ exec\s+(\d+)\s+(.*?)\s*$", line)
    return (int(m.group(1)), m.group(2)) if m else None


def parse_bpftrace(line):
    m = re.match(r"^(\d+) (.*?)\s*$", line)
    return (int(m.group(1)), m.group(2)) if m else None


_unfinished = {}


def parse_strace(line):
    """strace splits a call that another process interrupts into an
    "<unfinished ...>" line and a "<... execve resumed>" line."""
    m = re.match(r'^(\d+)\s+execve\("[^"]*", \[(.*)\], .*<unfinished \.\.\.>$', line)
    if m:
        _unfinished[int(m.group(1))] = m.group(2)
        return None
    m = re.match(r'^(\d+)\s+<\.\.\. execve resumed>.*= 0$', line)
    if m:
        args = _unfinished.pop(int(m.group(1)), None)
        if args is None:
            return None
        return (int(m.group(1)), " ".join(re.findall(r'"([^"]*)"', args)))
    m = re.match(r'^(\d+)\s+execve\("[^"]*", \[(.*)\], .*= 0$', line)
    if not m:
        return None
    return (int(m.group(1)), " ".join(re.findall(r'"([^"]*)"', m.group(2))))


class Tracer:
    def __init__(self, name, scope, argv, parse, out_to_stdout, environ=None):
        self.name, self.scope, self.argv = name, scope, argv
        self.parse, self.out_to_stdout = parse, out_to_stdout
        self.environ = environ


def tracers(forklog):
    found, missing = [], []
    for name, source, whole_system in SOURCES:
        env = source_environment(source)
        if whole_system:
            found.append(Tracer(name + " (whole system)", "system", [forklog, "-o", "{out}"],
                                parse_forklog, False, env))
        found.append(Tracer(name + " (command)", "command", [forklog, "-o", "{out}", "--"],
                            parse_forklog, False, env))
    if shutil.which("forkstat"):
        found.append(Tracer("forkstat -e exec", "system", ["forkstat", "-e", "exec"],
                            parse_forkstat, True))
    else:
        missing.append("forkstat (apt-get install forkstat)")
    if shutil.which("bpftrace"):
        prog = 'tracepoint:syscalls:sys_enter_execve { printf("%d ", pid); join(args->argv); }'
        found.append(Tracer("bpftrace execve", "system", ["bpftrace", "-e", prog],
                            parse_bpftrace, True))
    else:
        missing.append("bpftrace (apt-get install bpftrace)")
    if shutil.which("strace"):
        found.append(Tracer("strace -f -s 65536 (command)", "command",
                            ["strace", "-f", "-qq", "-s", "65536", "-e", "trace=execve", "-o", "{out}"],
                            parse_strace, False))
    else:
        missing.append("strace (apt-get install strace)")
    return found, missing


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def wait_quiet(path, limit=60.0, quiet=1.0):
    """Waits until the file has stopped growing for `quiet` seconds."""
    deadline = time.monotonic() + limit
    size, since = -1, time.monotonic()
    while time.monotonic() < deadline:
        now_size = os.path.getsize(path) if os.path.exists(path) else 0
        if now_size != size:
            size, since = now_size, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return
        time.sleep(0.05)


def stop(proc):
    """Stops a tracer with SIGINT; its rusage (utime+stime seconds)."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
    try:
        _, _, usage = os.wait4(proc.pid, 0)
    except ChildProcessError:
        return 0.0
    proc.returncode = 0
    return usage.ru_utime + usage.ru_stime


def storm_argv(work, n, p, usec, tag, run_dir):
    return [os.path.join(work, "storm"), str(n), str(p), str(usec), tag,
            os.path.join(work, "target"), os.path.join(run_dir, "pids"),
            os.path.join(run_dir, "result")]


def storm_result(run_dir):
    text = read(os.path.join(run_dir, "result"))
    values = dict(kv.split("=") for kv in text.split())
    return float(values["elapsed"]), float(values["cpu"])


def storm_pids(run_dir, p):
    pids = {}
    for w in range(p):
        for line in read(os.path.join(run_dir, "pids.%d" % w)).splitlines():
            index, pid = line.split()
            pids[int(index)] = int(pid)
    return pids


def score(tracer, text, target, tag, usec, pids):
    """Capture fraction and wrong lines of one run's output."""
    expected = {i: "%s %s %d %d" % (target, tag, i, usec) for i in pids}
    target_pids = {pid: i for i, pid in pids.items()}
    seen, wrong = set(), 0
    word = re.compile(re.escape(target) + " " + re.escape(tag) + r" (\d+) ")
    for line in text.splitlines():
        parsed = tracer.parse(line)
        if not parsed:
            continue
        pid, words = parsed
        m = word.match(words + " ")
        if m:
            i = int(m.group(1))
            if pids.get(i) == pid and words == expected[i]:
                seen.add(i)
            else:
                wrong += 1
        elif pid in target_pids and words.split(" ")[0] not in ("", target):
            wrong += 1  # a target's pid shown with someone else's arguments
    return len(seen) / len(pids), wrong


def wait_canary(out_path, tracer, work, run_dir, limit=30.0):
    tag = "canary-%d" % os.getpid()
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        subprocess.run([os.path.join(work, "target"), tag, "0", "30000"])
        source = out_path if not tracer.out_to_stdout else os.path.join(run_dir, "stdout")
        if tag in read(source):
            return True
        time.sleep(0.1)
    return False


def run_once(tracer, work, case, rep):
    name, n, p, usec = case
    run_dir = tempfile.mkdtemp(prefix="run-", dir=work)
    out_path = os.path.join(run_dir, "out")
    tag = "r%dx%d" % (rep, int(time.time() * 1000) % 100000000)
    argv = [a.replace("{out}", out_path) for a in tracer.argv]
    stdout = open(os.path.join(run_dir, "stdout"), "wb")
    stderr = open(os.path.join(run_dir, "stderr"), "wb")
    storm = storm_argv(work, n, p, usec, tag, run_dir)
    if tracer.scope == "command":
        proc = subprocess.Popen(argv + storm, stdout=stdout, stderr=stderr, env=tracer.environ)
        cpu = stop_when_done(proc)
        elapsed, storm_cpu = storm_result(run_dir)
        cpu -= storm_cpu  # the tracer waited for the storm: its time is counted in
    else:
        proc = subprocess.Popen(argv, stdout=stdout, stderr=stderr, env=tracer.environ)
        if not wait_canary(out_path, tracer, work, run_dir):
            stop(proc)
            raise RuntimeError("%s never showed the canary" % tracer.name)
        subprocess.run(storm, check=True)
        wait_quiet(out_path if not tracer.out_to_stdout else os.path.join(run_dir, "stdout"))
        cpu = stop(proc)
        elapsed, _ = storm_result(run_dir)
    stdout.close()
    stderr.close()
    text = read(out_path) if not tracer.out_to_stdout else read(os.path.join(run_dir, "stdout"))
    capture, wrong = score(tracer, text, os.path.join(work, "target"), tag, usec,
                           storm_pids(run_dir, p))
    lost = len(re.findall(r"warning: the kernel dropped",
                          read(os.path.join(run_dir, "stderr"))))
    shutil.rmtree(run_dir)
    return {"elapsed": elapsed, "capture": capture, "wrong": wrong,
            "cpu_us": cpu * 1e6 / n, "lost": lost}


def stop_when_done(proc):
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    return usage.ru_utime + usage.ru_stime


def baseline(work, case, rep):
    name, n, p, usec = case
    run_dir = tempfile.mkdtemp(prefix="base-", dir=work)
    subprocess.run(storm_argv(work, n, p, usec, "base%d" % rep, run_dir), check=True)
    elapsed, _ = storm_result(run_dir)
    shutil.rmtree(run_dir)
    return elapsed


def spread(values, fmt):
    return "%s (%s–%s)" % (fmt % statistics.median(values), fmt % min(values), fmt % max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--cases", default="all",
                        help="comma-separated case numbers (1-%d) or 'all'" % len(CASES))
    add_only_option(parser)
    args = parser.parse_args()
    prepare_to_trace()
    work = tempfile.mkdtemp(prefix="forklog-bench-")
    found, missing = tracers(build(work))
    found = [t for t in found if chosen(t.name, args.only)]
    for m in missing:
        print("skipped, not installed: %s" % m)
    cases = CASES if args.cases == "all" else [CASES[int(c) - 1] for c in args.cases.split(",")]
    print("| case | tracer | capture | wrong lines | tracer CPU µs/exec | storm time vs no tracer |")
    print("|---|---|---|---|---|---|")
    for case in cases:
        base, results = [], {t.name: [] for t in found}
        for rep in range(args.reps):
            base.append(baseline(work, case, rep))
            order = found if rep % 2 == 0 else list(reversed(found))
            for t in order:
                try:
                    results[t.name].append(run_once(t, work, case, rep))
                except (RuntimeError, subprocess.CalledProcessError) as e:
                    print("note: %s: %s" % (t.name, e), file=sys.stderr)
        print("| %s | no tracer | | | | %s s |" % (case[0], spread(base, "%.2f")))
        for t in found:
            runs = results[t.name]
            if not runs:
                continue
            ratios = [r["elapsed"] / statistics.median(base) for r in runs]
            lost = sum(r["lost"] for r in runs)
            print("| %s | %s | %s%s | %d | %s | %s× |" % (
                case[0], t.name, spread([100 * r["capture"] for r in runs], "%.1f%%"),
                ", %d loss warnings" % lost if lost else "", max(r["wrong"] for r in runs),
                spread([r["cpu_us"] for r in runs], "%.1f"), spread(ratios, "%.2f")))
        sys.stdout.flush()
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
