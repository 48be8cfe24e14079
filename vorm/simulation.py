"""Processes and the event loop.

A process is a generator that yields commands; the simulation resumes it
when what it waits for has happened. Each process is itself the
`TimeRequest` that wakes it: it sits in the simulation's event list (a
`TimeRequestBinaryHeap`) while it holds, so cancelling a wake-up is one
O(log n) delete. Its `prev` chain records the requests it made (newest
first), its `parent` is the process that started it, and its `val` carries
the value it is resumed with and, once it has finished, its result.

Simultaneous events run in the order in which they were scheduled: each
scheduling takes the next number of a falling counter as the request's
`priority`, and the event list serves equal times highest priority first.
A process runs without interruption from one yield to the next; a command
that completes at once (a seize with a free server, a wait for a signal
already set) continues the process without passing through the event list.
"""
from __future__ import division

import itertools
import numbers

from vorm.ext import Request, RequestListFIFO, TimeRequest, TimeRequestBinaryHeap

INFINITY = float("inf")

# What a process is doing. A process in the event list is HOLDING (a hold
# runs), SCHEDULED (it resumes with its val), GRANTED (a facility has just
# handed it a server; it resumes with True) or WAITING with a timer. The
# state a process had when it was taken out of the event list stays while it
# runs.
SCHEDULED, HOLDING, WAITING, PASSIVE, SUSPENDED, FINISHED, GRANTED = range(7)


class SimulationError(Exception):
    """A rule of the simulation was broken; `process` names the culprit."""

    def __init__(self, message, process=None):
        Exception.__init__(self, message)
        self.process = process


class ProcessError(SimulationError):
    """An exception escaped from a process; `exception` is the original."""

    def __init__(self, process, exception):
        SimulationError.__init__(self, "process %r raised %s: %s" % (
            process.name, type(exception).__name__, exception), process)
        self.exception = exception
        self.__cause__ = exception


class CommandError(SimulationError, TypeError):
    """Something that is not a command was yielded, or a command got an
    argument of the wrong type."""


class ArgumentError(SimulationError, ValueError):
    """A command or a facility got a value outside its range."""


class StateError(SimulationError, RuntimeError):
    """An operation does not fit the state of a process or simulation."""


def _error(kind, sim, message):
    """An error about what the running process (if any) asked for, named in
    the message."""
    active = sim.active
    if active is not None:
        message = "process %r: %s" % (active.name, message)
    return kind(message, active)


class Process(TimeRequest):
    """A running generator; `Simulation.start` makes one. Its `name` is the
    one given to `start` (default: the generator's name)."""

    __slots__ = ("sim", "_send", "_state", "_left", "_joiners")

    def __repr__(self):
        return "<Process %r>" % (self.name,)

    @property
    def generator(self):
        return self._send.__self__

    @property
    def finished(self):
        return self._state == FINISHED

    @property
    def passive(self):
        return self._state == PASSIVE

    @property
    def result(self):
        """What the generator returned (None until it has finished)."""
        return self.val if self._state == FINISHED else None

    def record(self, request):
        """Puts request at the head of the process's chain. An older request
        of the same name that no container holds any more leaves the chain,
        so a process that repeats itself keeps one record per name."""
        request.prev = self.prev
        self.prev = request
        if request.prev is not None:
            _forget_older(request)
        return request

    def mark(self, name, val=None):
        """Records that the process reached `name` now: `time(name)` and
        `self[name]` read it back."""
        return self.record(Request(self, name, None, val, None, self.sim.now))

    def interrupt(self):
        """Ends the hold of this process at once; its `yield hold(...)`
        evaluates to the time it had left."""
        sim = self.sim
        if self._state != HOLDING or self.queue is not sim._events:
            raise _error(StateError, sim, "cannot interrupt process %r, which is not holding" % (self.name,))
        left = self.futureTime - sim.now
        sim._events.delete(self)
        self.val = left
        sim._schedule(self, 0.0)

    def reactivate(self, value=None, delay=0.0):
        """Resumes a passive process after `delay`; its `yield passivate()`
        evaluates to `value`."""
        sim = self.sim
        if self._state != PASSIVE:
            raise _error(StateError, sim, "cannot reactivate process %r, which is not passive" % (self.name,))
        delay = _delay(sim, delay, "reactivate()")
        sim._passive.delete(self)
        self.val = value
        sim._schedule(self, delay)

    def releaseAllFacilities(self, *facilities):
        """Releases every server this process holds (of the facilities
        given, or of all); returns how many."""
        released = 0
        for request in list(self)[1:]:
            facility = request.target
            if request.queue is getattr(facility, "users", self) and (not facilities or facility in facilities):
                facility._release_entry(request)
                released += 1
        return released


def _forget_older(request):
    name, before, older = request.name, request, request.prev
    while older is not None:
        if older.queue is None and older.name == name:
            before.prev = older.prev
            return
        before, older = older, older.prev


class Command(object):
    """Base of the commands that a process yields (besides a delay)."""

    __slots__ = ()

    def _apply(self, sim, process):
        """Starts the command for process. Returns True when it is complete
        already, so that the process goes on at once with its `val`."""
        raise NotImplementedError


def hold(delay):
    """`yield hold(d)` suspends the process for d time units; yielding the
    number itself means the same. It evaluates to None, or to the time it
    had left when another process interrupted it."""
    if type(delay) is float:
        return delay
    if isinstance(delay, numbers.Real) and not isinstance(delay, bool):
        return float(delay)
    raise CommandError("hold() delay must be a number, not %r" % (delay,))


def _delay(sim, delay, what):
    if isinstance(delay, bool) or not isinstance(delay, numbers.Real):
        raise _error(CommandError, sim, "%s delay must be a number, not %r" % (what, delay))
    if not delay >= 0:
        raise _error(ArgumentError, sim, "%s delay must not be negative, got %r" % (what, delay))
    return float(delay)


class _Passivate(Command):
    __slots__ = ()

    def _apply(self, sim, process):
        process._state = PASSIVE
        sim._passive.push(process)
        return False

    def __repr__(self):
        return "passivate()"


_PASSIVATE = _Passivate()


def passivate():
    """`yield passivate()` suspends the process until another calls its
    `reactivate(value)`; it then evaluates to that value."""
    return _PASSIVATE


class wait(Command):
    """`yield wait(x)` waits until process x has finished (evaluating to its
    result) or until signal x is set (evaluating to the signal's value)."""

    __slots__ = ("what",)

    def __init__(self, what):
        if not isinstance(what, (Process, Signal)):
            raise CommandError("wait() needs a process or a signal, not %r" % (what,))
        self.what = what

    def _apply(self, sim, process):
        what = self.what
        if what.sim is not sim:
            raise _error(StateError, sim, "cannot wait for %r of another simulation" % (what,))
        if what is process:
            raise _error(StateError, sim, "a process cannot wait for itself")
        if isinstance(what, Signal):
            if what.is_set:
                process.val = what.value
                return True
            waiters = what.waiters
        else:
            if what._state == FINISHED:
                process.val = what.val
                return True
            waiters = what._joiners
            if waiters is None:
                waiters = what._joiners = sim._register(RequestListFIFO())
        entry = process.record(waiters.create(process, what.name, None, process, None, sim.now, 0.0, what))
        waiters.push(entry)
        process._state = WAITING
        return False

    def __repr__(self):
        return "wait(%r)" % (self.what,)


class Signal(object):
    """Something that processes wait for and another process sets. A set
    signal stays set (a wait completes at once) until it is reset."""

    def __init__(self, sim, name="signal"):
        self.sim = sim
        self.name = name
        self.value = None
        self.is_set = False
        self.waiters = sim._register(RequestListFIFO())

    def __repr__(self):
        return "<Signal %r %s>" % (self.name, "set" if self.is_set else "clear")

    def set(self, value=None):
        """Sets the signal and resumes every waiting process, first come
        first; each wait evaluates to value."""
        self.is_set, self.value = True, value
        self.sim._wake_all(self.waiters, value)

    def reset(self):
        self.is_set, self.value = False, None


class _Thrower(object):
    """Stands in for a process's send until the process has been told of an
    error: the next resumption raises it inside the generator, at its yield."""

    __slots__ = ("process", "send", "error")

    def __init__(self, process, error):
        self.process, self.send, self.error = process, process._send, error

    def __call__(self, value):
        self.process._send = self.send
        return self.send.__self__.throw(self.error)

    @property
    def __self__(self):
        return self.send.__self__


class Simulation(object):
    """The clock, the event list and the processes of one model."""

    __slots__ = ("now", "active", "_events", "_passive", "_order", "_containers", "_running", "_closed",
                 "__weakref__", "__dict__")

    def __init__(self):
        self.now = 0.0
        self.active = None
        self._events = TimeRequestBinaryHeap()
        self._passive = RequestListFIFO()
        self._order = itertools.count(0, -1)
        self._containers = [self._events, self._passive]
        self._running = False
        self._closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _register(self, container):
        self._containers.append(container)
        return container

    def start(self, generator, name=None, delay=0.0):
        """Makes a process of a generator and schedules it `delay` from now;
        returns the process. A process started by another one gets that one
        as its `parent`."""
        try:
            send = generator.send
            generator.throw
        except AttributeError:
            raise _error(CommandError, self, "start() needs a generator, not %r" % (generator,))
        if self._closed:
            raise StateError("start(): the simulation is closed")
        process = Process()
        process.sim = self
        process._send = send
        process._left = process._joiners = None
        process.name = generator.__name__ if name is None else name
        if self.active is not None:
            process.parent = self.active
        if delay.__class__ is not float or not delay >= 0.0:
            delay = _delay(self, delay, "start()")
        self._schedule(process, delay)
        return process

    def _schedule(self, process, delay, state=SCHEDULED):
        """Puts process in the event list `delay` (valid already) from now."""
        process._state = state
        process.futureTime = self.now + delay
        process.priority = next(self._order)
        self._events.push(process)

    def _wake_all(self, waiters, value):
        while waiters:
            process = waiters.pop().val
            process.val = value
            self._schedule(process, 0.0)

    def peek(self):
        """The time of the next event, or infinity when there is none."""
        events = self._events
        return events.get().futureTime if events else INFINITY

    def run(self, until=None):
        """Runs events until none is left, or until the next one lies beyond
        `until` (the clock then stands at `until`). Call it again to go on."""
        if self._running:
            raise _error(StateError, self, "run() called while the simulation runs")
        if self._closed:
            raise StateError("run(): the simulation is closed")
        limit = INFINITY if until is None else float(until)
        if not limit >= self.now:
            raise ArgumentError("run(): until=%r lies before the current time %r" % (until, self.now))
        self._running = True
        try:
            self._loop(limit)
        finally:
            self._running = False
            self.active = None
        if until is not None:
            self.now = limit

    def _loop(self, limit):
        events = self._events
        pop, push = events.pop, events.push
        order = self._order
        while events:
            process = pop()
            now = process.futureTime
            if now > limit:
                push(process)
                return
            self.now = now
            self.active = process
            value = process.val
            if value is not None:
                process.val = None
                if process._state == WAITING:
                    # Its timer ran out first: the waiting gives up.
                    process._state = SCHEDULED
                    value = value.expire(self, process)
            while True:
                try:
                    command = process._send(value)
                except StopIteration as stop:
                    process._state = FINISHED
                    process.val = value = stop.args[0] if stop.args else None
                    if process._joiners is not None:
                        self._wake_joiners(process, value)
                    break
                except BaseException as error:
                    self._fail(process, error)
                    raise
                if command.__class__ is float and command >= 0.0:
                    process._state = HOLDING
                    process.futureTime = now + command
                    process.priority = next(order)
                    push(process)
                    break
                try:
                    apply = command._apply
                except AttributeError:
                    go_on = self._other(process, command)
                else:
                    try:
                        go_on = apply(self, process)
                    except SimulationError as error:
                        go_on = self._refuse(process, error)
                if not go_on:
                    break
                value = process.val
                process.val = None

    def _other(self, process, command):
        """A yielded value without _apply: a delay that is not a float, or a
        mistake. True when the process goes on at once."""
        number = isinstance(command, numbers.Real) and not isinstance(command, bool)
        if number and command >= 0:
            self._schedule(process, command, HOLDING)
            return False
        if number:
            error = ArgumentError("process %r: hold() delay must not be negative, got %r" % (process.name, command),
                                  process)
        else:
            error = CommandError("process %r yielded %r, which is not a command" % (process.name, command), process)
        return self._refuse(process, error)

    def _refuse(self, process, error):
        # The process learns of its mistake where it made it, at once.
        process._send = _Thrower(process, error)
        process.val = None
        return True

    def _detach_joiners(self, process):
        joiners = process._joiners
        if joiners is not None:
            process._joiners = None
            self._containers.remove(joiners)
        return joiners

    def _wake_joiners(self, process, result):
        self._wake_all(self._detach_joiners(process), result)

    def _fail(self, process, error):
        process._state = FINISHED
        if not isinstance(error, Exception):
            return
        if not isinstance(error, SimulationError):
            error = ProcessError(process, error)
        joiners = self._detach_joiners(process)
        if joiners is not None:
            # Whoever waits for the failed process learns why.
            while joiners:
                waiter = joiners.pop().val
                waiter._send = _Thrower(waiter, error)
                self._schedule(waiter, 0.0)
        if isinstance(error, ProcessError):
            raise error

    def close(self):
        """Ends the simulation: every process that has not finished is
        closed (its generator gets GeneratorExit) and every request the
        simulation made leaves every container."""
        if self._running:
            raise _error(StateError, self, "close() called while the simulation runs")
        if self._closed:
            return
        self._closed = True
        pending = []
        for container in self._containers:
            for request in container:
                process = request if isinstance(request, Process) else request.val
                if isinstance(process, Process) and process._state != FINISHED:
                    pending.append(process)
        for container in self._containers:
            container.clear()
        for process in pending:
            if process._state != FINISHED:
                process._state = FINISHED
                process.generator.close()
