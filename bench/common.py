"""What the benchmarks share: the forklog they measure and its event sources."""

import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


# (name, FORKLOG_SOURCE, whether it can watch the whole system)
SOURCES = (("forklog eBPF", "ebpf", True), ("forklog netlink", "netlink", True),
           ("forklog ptrace", "ptrace", False))


def forklog_build():
    """The path of forklog: from FORKLOG_BUILD when set, else build/default,
    built first."""
    built = os.environ.get("FORKLOG_BUILD", os.path.join(ROOT, "build/default"))
    if "FORKLOG_BUILD" not in os.environ:
        subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "default", "--target", "forklog"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(built, "forklog")


def source_environment(source):
    """The environment that makes forklog use one event source."""
    env = dict(os.environ)
    env["FORKLOG_SOURCE"] = source
    return env
