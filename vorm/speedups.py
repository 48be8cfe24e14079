"""The simulation layer's native fast path.

vorm._speedups, when it is built, replaces a few methods of the layer (the
event loop, Simulation.start, the facility's seize and release) with C++
functions that do what the Python methods do, step for step, and hand every
uncommon case to them. Models give the same numbers either way. It is
switched on when vorm is imported, unless the environment variable
VORM_PURE_PYTHON is set; `enable(False)` switches it off for simulations
made afterwards.
"""
from vorm import facility, monitor, simulation

try:
    from vorm import _speedups as _native
except ImportError:  # built without it: the layer runs as plain Python
    _native = None

_replaced = {}


def available():
    """Whether the native fast path was built for this interpreter."""
    return _native is not None


def enabled():
    return bool(_replaced)


def enable(on=True):
    """Switches the native fast path on or off; returns whether it is on.
    Facilities made before a switch keep the seize they were made with."""
    if on and _native is not None and not _replaced:
        _native.bind(simulation, facility, monitor)
        for cls, name, method in _native.methods():
            _replaced[cls, name] = cls.__dict__[name]
            setattr(cls, name, method)
    elif not on:
        for (cls, name), method in _replaced.items():
            setattr(cls, name, method)
        _replaced.clear()
    return enabled()
