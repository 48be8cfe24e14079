# Small helpers shared by the test modules; runs unchanged on 2.7 and 3.x.
import os
import subprocess
import sys

from vorm import ext

PY3 = sys.version_info[0] >= 3
BIG = 10 ** 20  # a long on Python 2

CONTAINERS = (ext.RequestArray, ext.RequestArrayStack, ext.RequestDEQFIFO,
              ext.RequestListFIFO, ext.RequestListStack)
HEAPS = (ext.RequestBinaryHeap, ext.TimeRequestBinaryHeap)
ALL_CONTAINERS = CONTAINERS + HEAPS


def element_type(container_type):
    """The request type a container accepts."""
    if issubclass(container_type, ext.TimeRequestBinaryHeap):
        return ext.TimeRequest
    if issubclass(container_type, ext.RequestBinaryHeap):
        return ext.PriorityRequest
    return ext.LinkedRequest


def make_requests(container_type, count, prefix="r"):
    kind = element_type(container_type)
    return [kind(name="%s%d" % (prefix, i)) for i in range(count)]


def names(requests):
    return [r.name for r in requests]


def check_consistent(containers, requests=()):
    """Every stored request is stored once, in the container its queue names,
    and a request whose queue names one of the containers is stored there."""
    seen = []
    for c in containers:
        stored = list(c)
        assert len(stored) == len(c), (type(c).__name__, len(stored), len(c))
        assert all(r.queue is c for r in stored), type(c).__name__
        seen.extend(stored)
    assert len(seen) == len(set(map(id, seen))), "a request stored twice"
    assert all(r in seen or not any(r.queue is c for c in containers) for r in requests), "a stale queue"


def run_child(code, stderr=False, argv=None):
    """Runs code (or the arguments argv) in a fresh interpreter; returns
    (exit status, stdout text), with the child's stderr appended to the text
    when asked for."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # The child loads the same build of vorm.ext as this process (a
    # sanitized or debug build lives outside the tree).
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(ext.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([package_root, root])
    child = subprocess.Popen([sys.executable] + (argv or ["-c", code]), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
    out, err = child.communicate()
    return child.returncode, (out + err if stderr else out).decode("ascii", "replace")


class Marker(object):
    """A weakly referable object to hang on a request and watch it die."""
