"""Processes and the event loop.

A process is a generator that yields commands; the simulation resumes it
when what it waits for has happened. The hot rules (the clock, the event
list and the order of simultaneous events, processes, facilities, holds,
seizes, first() and all_of(), the monitors) are native types of
vorm._kernel; this module composes them with the commands that read best
in Python: passivation and signals (a wait for a signal asks the signal).

Each process is itself the `TimeRequest` that wakes it: it sits in the
simulation's event list (a `TimeRequestBinaryHeap`) while it holds, so
cancelling a wake-up is one O(log n) delete. Its `prev` chain records the
requests it made (newest first) and its `parent` is the process that
started it.

Simultaneous events run in the order in which they were scheduled. A
process runs without interruption from one yield to the next; a command
that completes at once (a seize with a free server, a wait for a signal
already set) continues the process without passing through the event list.
"""
from vorm._kernel import PARKED, Process, Simulation, all_of, first, hold, wait
from vorm.errors import (ArgumentError, CommandError, Interrupt, ProcessError, SimulationError,  # noqa: F401
                         StateError)

__all__ = ["ArgumentError", "Command", "CommandError", "Interrupt", "Process", "ProcessError", "Signal",
           "Simulation", "SimulationError", "StateError", "all_of", "first", "hold", "passivate", "wait"]


def _error(kind, sim, message):
    """An error about what the running process (if any) asked for, named in
    the message."""
    active = sim.active
    if active is not None:
        message = "process %r: %s" % (active.name, message)
    return kind(message, active)


class Command(object):
    """Base of the commands written in Python. The kernel calls
    `_apply(sim, process)` for the running process: it returns the value the
    process goes on with at once, or parks the process (with
    `process._wait_in(container, target)`) and returns what that returns."""

    __slots__ = ()

    def _apply(self, sim, process):
        raise NotImplementedError


class _Passivate(Command):
    __slots__ = ()

    def _apply(self, sim, process):
        return process._passivate()

    def __repr__(self):
        return "passivate()"


_PASSIVATE = _Passivate()


def passivate():
    """`yield passivate()` suspends the process until another calls its
    `reactivate(value)`; it then evaluates to that value."""
    return _PASSIVATE


class Signal(object):
    """Something that processes wait for and another process sets. A set
    signal stays set (a wait completes at once) until it is reset; a failed
    one raises its exception in every process that waits for it."""

    def __init__(self, sim, name="signal"):
        if not isinstance(sim, Simulation):
            raise CommandError("Signal() needs a Simulation, not %r" % (sim,))
        self.sim = sim
        self.name = name
        self.value = None
        self.is_set = False
        self.failure = None
        self.waiters = sim._register(_waiter_list())

    def __repr__(self):
        return "<Signal %r %s>" % (self.name, "failed" if self.failure is not None else
                                   "set" if self.is_set else "clear")

    def _wait(self, sim, process):
        # What `yield wait(signal)` does: go on at once with the value of a
        # set signal, raise the exception of a failed one, else wait.
        if self.sim is not sim:
            raise _error(StateError, sim, "cannot wait for %r of another simulation" % (self,))
        if self.failure is not None:
            raise self.failure
        if self.is_set:
            return self.value
        return process._wait_in(self.waiters, self)

    def set(self, value=None):
        """Sets the signal and resumes every waiting process, first come
        first; each wait evaluates to value."""
        self.is_set, self.value = True, value
        self._tell("set", value, self.sim._fire)

    def fail(self, exception):
        """Raises exception inside every waiting process, first come first,
        and in every process that waits for the signal until it is reset."""
        if not isinstance(exception, BaseException):
            raise _error(CommandError, self.sim, "Signal.fail() needs an exception, not %r" % (exception,))
        self.failure = exception
        self._tell("fail", exception, self.sim._throw)

    def _tell(self, what, value, how):
        # Every waiter in turn, each taken from the list before it is told.
        sim = self.sim
        if sim.trace is not None:
            sim.trace(sim.now, sim.active, what, value)
        waiters = self.waiters
        while waiters:
            how(waiters.pop(), value)

    def reset(self):
        self.is_set, self.value, self.failure = False, None, None


def _waiter_list():
    from vorm.ext import RequestListFIFO
    return RequestListFIFO()
