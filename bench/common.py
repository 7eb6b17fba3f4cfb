"""What the benchmarks share: the forklog builds they measure."""

import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def forklog_builds():
    """Paths of forklog and forklog-netlink: from FORKLOG_BUILD when set,
    else build/default, built first."""
    built = os.environ.get("FORKLOG_BUILD", os.path.join(ROOT, "build/default"))
    if "FORKLOG_BUILD" not in os.environ:
        subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "default", "--target", "forklog",
                        "forklog-netlink"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(built, "forklog"), os.path.join(built, "forklog-netlink")
