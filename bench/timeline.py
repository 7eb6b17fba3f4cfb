#!/usr/bin/env python3
"""Timeline page benchmark: how large the page of a large run is and how soon
a browser has it drawn.

The scripted kernel's synthetic build of N processes (tests/timeline_fixture)
writes the page; headless Chromium opens it from file:// several times. The
page says, in its check element, when its script has drawn the rows
(performance.now(), from the start of navigation); the wall time of the
whole browser run is given beside that of an empty page.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from common import ROOT


def browse(browser, page, profile):
    start = time.monotonic()
    out = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                          "--user-data-dir=" + profile, "--dump-dom", "file://" + page],
                         capture_output=True, text=True).stdout
    wall = time.monotonic() - start
    m = re.search(r'"ready_ms":([0-9.]+)', out)
    return wall, float(m.group(1)) if m else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("-n", type=int, default=20000)
    args = parser.parse_args()
    browser = shutil.which("chromium")
    if not browser:
        sys.exit("the timeline benchmark needs Debian's chromium")
    subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "default", "--target", "timeline_fixture"],
                   cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix="forklog-timeline-bench-")
    page = os.path.join(work, "timeline.html")
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as f:
        f.write("<!DOCTYPE html><p>empty</p>")
    subprocess.run([os.path.join(ROOT, "build/default/tests/timeline_fixture"), page, str(args.n)],
                   check=True)
    profile = os.path.join(work, "profile")
    browse(browser, empty, profile)  # the profile is made once, outside the figures
    walls, ready, empties = [], [], []
    for _ in range(args.reps):
        wall, drawn = browse(browser, page, profile)
        walls.append(wall)
        ready.append(drawn)
        empties.append(browse(browser, empty, profile)[0])
    size = os.path.getsize(page)
    shutil.rmtree(work, ignore_errors=True)
    print(f"{args.n} processes: page {size / 1e6:.2f} MB")
    print(f"rows drawn {statistics.median(ready):.0f} ms after navigation began "
          f"(min {min(ready):.0f}, max {max(ready):.0f}), over {args.reps} runs")
    print(f"headless Chromium run: {statistics.median(walls):.2f} s, "
          f"an empty page {statistics.median(empties):.2f} s")


if __name__ == "__main__":
    main()
