"""What the benchmarks share: the forklog they measure and its event sources."""

import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def _sources():
    """(name, FORKLOG_SOURCE, whether it can watch the whole system) for each
    event source, in the order and with the labels the tool lists them."""
    path = os.path.join(ROOT, "src/platform/linux/sources/source_list.h")
    with open(path) as f:
        text = f.read()
    rows = re.findall(r'\{"(\w+)", "([^"]+)", (true|false),', text)
    if not rows:
        sys.exit(f"no event sources listed in {path}")
    return tuple(("forklog " + label, name, whole == "true") for name, label, whole in rows)


SOURCES = _sources()


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


def compile_storm(work):
    """Compiles the storm and its target into work."""
    cc = shutil.which("cc") or shutil.which("gcc")
    for name in ("storm", "target"):
        subprocess.run([cc, "-O2", "-o", os.path.join(work, name),
                        os.path.join(HERE, name + ".c")], check=True)


def source_environment(source):
    """The environment that makes forklog use one event source."""
    env = dict(os.environ)
    env["FORKLOG_SOURCE"] = source
    return env


def add_only_option(parser):
    parser.add_argument("--only", default="",
                        help="run only tracers whose name holds this (or one of these, "
                             "comma-separated)")


def chosen(name, only):
    """Whether the tracer called name is among those --only asked for."""
    return not only or any(o in name for o in only.split(","))


def prepare_to_trace():
    """Ends unless run as root; mounts tracefs where the peers need it."""
    if os.geteuid() != 0:
        sys.exit("the benchmark needs root: the tracers read kernel events")
    if not os.path.ismount("/sys/kernel/tracing") and os.path.isdir("/sys/kernel/tracing"):
        subprocess.run(["mount", "-t", "tracefs", "nodev", "/sys/kernel/tracing"])
