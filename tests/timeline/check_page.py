#!/usr/bin/env python3
"""Checks what the timeline page says of itself once a browser has run it
against the run's JSON lines.

Usage: check_page.py RUN.jsonl PAGE.html DOM.html
"""
import collections
import html
import json
import re
import sys


def main():
    run, page, dom = sys.argv[1:4]
    lines = [json.loads(line) for line in open(run, encoding="utf-8")]
    execs = collections.Counter(e["pid"] for e in lines if e["event"] == "exec")
    ends = {e["pid"]: e for e in lines if e["event"] == "exit"}
    m = re.search(r'<pre id="forklog-check"[^>]*>(.*?)</pre>', open(dom, encoding="utf-8").read(),
                  re.S)
    failures = []
    if not m:
        print("FAILED: the page did not run its script (no check element filled)")
        return 1
    check = json.loads(html.unescape(m.group(1)))
    rows = collections.Counter(r["pid"] for r in check["rows"])
    if rows != execs:
        failures.append(f"rows {sorted(rows.items())} != execs {sorted(execs.items())}")
    broken = [f for f in check["failed"] if f["line"].startswith("cc -c broken.c")]
    if len(broken) != 1 or broken[0]["status"] != 1:
        failures.append(f"the failed compile is not listed with status 1: {check['failed']}")
    elif ends.get(broken[0]["pid"], {}).get("status") != 1:
        failures.append("the JSON lines' exit of the failed compile does not say status 1")
    if check["links"] != len(check["failed"]):
        failures.append(f"{check['links']} links for {len(check['failed'])} failures")
    if check["resources"] != 0:
        failures.append(f"the page fetched {check['resources']} resources")
    text = open(page, encoding="utf-8", errors="surrogateescape").read()
    if "://" in text:
        failures.append("the page names an address")
    print(f"timeline-browser: {len(check['rows'])} rows for {sum(execs.values())} execs, "
          f"{len(check['failed'])} failed ({', '.join(f['line'][:30] for f in check['failed'])}), "
          f"script done {check['ready_ms']:.0f} ms after the page began, page "
          f"{len(text.encode('utf-8', 'surrogateescape'))} bytes")
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        return 1
    print("timeline-browser: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
