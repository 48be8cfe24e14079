"""The extension modules that tools/ext.mk builds, as ext.mk itself says.

    python tools/extmodules.py [PYTHON]     prints one module name a line

The names come from the prerequisites of ext.mk's default goal that it
writes to OUTDIR, read from make's database (make -pq): so setup.py,
install-check and the tests follow ext.mk when a module is added, renamed or
dropped, with no list of names of their own. Runs on Python 2.7 and 3.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Never created: make only prints the paths of its targets under it.
OUTDIR = "/vorm-extmodules-query"


def modules(python=None, root=ROOT):
    """Module names (the file names up to their first dot) in build order."""
    command = ["make", "--no-print-directory", "-C", root, "-f", "tools/ext.mk", "-pq",
               "PYTHON=" + (python or sys.executable), "OUTDIR=" + OUTDIR]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate()
    # -q exits with 1 when something is out of date; only the database counts.
    lines = out.decode("utf-8", "replace").splitlines()
    goal = None
    for line in lines:
        if line.startswith(".DEFAULT_GOAL := "):
            goal = line.split(":=", 1)[1].strip()
    found = []
    if goal:
        for line in lines:
            if line.startswith(goal + ":") and not line.startswith(goal + "::"):
                found = [os.path.basename(path).split(".", 1)[0] for path in line.split(":", 1)[1].split()
                         if os.path.dirname(path) == OUTDIR]
                break
    if not found:
        raise RuntimeError("cannot read the modules that tools/ext.mk builds (%s): %s"
                           % (" ".join(command), err.decode("utf-8", "replace").strip()))
    return found


if __name__ == "__main__":
    for name in modules(sys.argv[1] if len(sys.argv) > 1 else None):
        sys.stdout.write(name + "\n")
