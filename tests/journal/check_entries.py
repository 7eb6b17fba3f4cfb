#!/usr/bin/env python3
"""Checks the journal entries of the fleet test: the container's journal
holds exactly one entry per exec of the workload, every field byte for
byte, and the central journal holds the same entries field for field.

Usage: check_entries.py LOCAL.json CENTRAL.json (journalctl -o json output)
"""
import json
import sys


def value_bytes(v):
    # journalctl gives a value that is not UTF-8 as an array of byte values.
    if isinstance(v, list):
        return bytes(v)
    return v.encode("utf-8")


def fields(entry):
    """Every field as a list of byte strings (the journal repeats fields)."""
    out = {}
    for name, v in entry.items():
        if isinstance(v, list) and v and not all(isinstance(x, int) for x in v):
            out[name] = [value_bytes(x) for x in v]
        else:
            out[name] = [value_bytes(v)]
    return out


def load(path):
    entries = []
    with open(path, "rb") as f:
        for line in f:
            if line.strip():
                e = fields(json.loads(line))
                if e.get("SYSLOG_IDENTIFIER") == [b"forklog"]:
                    entries.append(e)
    return entries


def words(e):
    """The arguments in order: the field of them all joined by NUL bytes
    (the journal keeps FORKLOG_ARGV's values as a set)."""
    if "FORKLOG_ARGV_NUL" not in e:
        return []
    return e["FORKLOG_ARGV_NUL"][0].split(b"\0")


def key(e):
    return (e["FORKLOG_PID"][0], e["FORKLOG_EXEC_TIME"][0], tuple(words(e)))


def own(e):
    return {n: v for n, v in e.items() if n.startswith("FORKLOG_") or n == "MESSAGE"}


def main():
    local, central = load(sys.argv[1]), load(sys.argv[2])
    failures = []

    def expect_one(what, argv, cwd=None):
        found = [e for e in local if words(e) == argv]
        if len(found) != 1:
            failures.append(f"{what}: {len(found)} entries, not 1")
            return None
        e = found[0]
        if cwd is not None and e.get("FORKLOG_CWD") != [cwd]:
            failures.append(f"{what}: FORKLOG_CWD {e.get('FORKLOG_CWD')}")
        if e.get("FORKLOG_USER") != [b"root"] or e.get("FORKLOG_UID") != [b"0"]:
            failures.append(f"{what}: user {e.get('FORKLOG_USER')} {e.get('FORKLOG_UID')}")
        if e.get("FORKLOG_UNIT") != [b"workload.service"] or not e.get(
                "FORKLOG_CGROUP", [b""])[0].endswith(b"/workload.service"):
            failures.append(f"{what}: unit {e.get('FORKLOG_UNIT')} in {e.get('FORKLOG_CGROUP')}")
        message = json.loads(e["MESSAGE"][0])
        said = [w.encode("utf-8", "surrogateescape") for w in message["argv"]]
        if said != argv:
            failures.append(f"{what}: MESSAGE's argv differs from FORKLOG_ARGV")
        return e

    big = [b"/bin/echo"] + [b"word%d-x" % i for i in range(1, 10001)]
    e = expect_one("100 KB argument list", big, b"/srv/work")
    if e:
        print(f"100 KB exec: one entry, {sum(len(w) + 1 for w in big)} bytes of arguments "
              f"in FORKLOG_ARGV_NUL, MESSAGE {len(e['MESSAGE'][0])} bytes")
    e = expect_one("just under 1 MiB of arguments", [b"/bin/echo"] + [b"m" * 131000] * 8, b"/srv/work")
    if e:
        print(f"1 MiB exec: one entry, MESSAGE {len(e['MESSAGE'][0])} bytes")
    e = expect_one("300 words", big[:301], b"/srv/work")
    if e and len(e.get("FORKLOG_ARGV", [])) != 301:
        failures.append("300 words: not one FORKLOG_ARGV field per word")
    repeated = [b"/bin/echo", b"b", b"a", b"b", b"-c", b"a"]
    e = expect_one("repeated words", repeated, b"/srv/work")
    if e and sorted(set(e.get("FORKLOG_ARGV", []))) != sorted(set(repeated)):
        failures.append(f"repeated words: FORKLOG_ARGV holds {e.get('FORKLOG_ARGV')}")
    expect_one("escape and non-UTF-8 words",
               [b"/bin/echo", b"esc\x1b[31m", b"not-utf8\xff\xfe", b"line\nbreak"], b"/srv/work")
    expect_one("nested pid namespace", [b"/bin/echo", b"in-a-new-pid-namespace"], b"/srv/work")
    burst = 0
    for i in range(1, 2001):
        argv = [b"/bin/true", b"burst%d" % i]
        found = [e for e in local if words(e) == argv]
        n = len(found)
        if n == 1 and found[0].get("FORKLOG_UNIT") != [b"workload.service"]:
            n = -1
        burst += n == 1
        if n != 1 and len(failures) < 20:
            failures.append(f"burst{i}: {n} entries, not 1 (-1: not in workload.service)")
    print(f"burst: {burst}/2000 programs with exactly one entry, each in workload.service")

    # What came before the workload's end has had time to be shipped.
    done = [e for e in local if words(e) == [b"/bin/echo", b"workload-done"]]
    if len(done) != 1:
        failures.append(f"workload-done: {len(done)} entries, not 1")
    end = int(done[0]["FORKLOG_EXEC_TIME"][0]) if done else 0
    local = [e for e in local if int(e["FORKLOG_EXEC_TIME"][0]) <= end]
    central_by_key = {}
    for e in central:
        central_by_key.setdefault(key(e), []).append(e)
    shipped = 0
    for e in local:
        there = central_by_key.get(key(e), [])
        if len(there) == 1 and own(there[0]) == own(e):
            shipped += 1
        elif len(failures) < 40:
            failures.append(f"central journal: {len(there)} entries for pid "
                            f"{e['FORKLOG_PID'][0].decode()} "
                            f"{words(e)[:1]!r:.40}, or fields differ")
    print(f"central journal: {shipped}/{len(local)} of the container's exec entries, "
          f"field for field ({len(central)} received)")

    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        return 1
    print("journal-fleet: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
