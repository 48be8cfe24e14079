"""Facilities: c identical servers and the line that waits for them.

A process that seizes a facility files an entry: a request of the line's
element type whose `val` is the process, whose `firedTime` is when it joined,
whose `priority` is the seize's and whose `target` is the facility. The
entry waits in the line (any request container: the line decides the order
of service) and moves to the facility's `users` list while the process holds
a server. Entries join the process's chain under the facility's name, so
`process.time(name)` tells when it last joined this line.
"""
from __future__ import division

import numbers

from vorm.ext import RequestBinaryHeap, RequestListFIFO, TimeRequestBinaryHeap

from vorm.monitor import Level, Tally
from vorm.simulation import (GRANTED, HOLDING, SUSPENDED, WAITING, ArgumentError, Command, CommandError,
                             StateError, _error, _forget_older)

# The abstract base of every request container; the core does not publish it.
RequestContainer = RequestListFIFO.__base__


# How a facility makes the entries of its line: the element type's
# positional arguments (parsing keywords would double the cost of a seize).
LINKED, PRIORITY, TIMED = range(3)


class Seize(Command):
    """`got = yield facility.seize(...)`: True once a server is held, False
    when the process balked (the line was full) or reneged (its patience ran
    out first)."""

    __slots__ = ("facility", "priority", "patience", "_apply")

    def __init__(self, facility, priority=0.0, patience=None):
        self.facility = facility
        self.priority = priority
        self.patience = patience
        # The plain seize, by far the most common, goes straight to the
        # facility.
        self._apply = facility._seize if priority == 0.0 and patience is None else self._seize

    def _seize(self, sim, process):
        return self.facility._seize(sim, process, self.priority, self.patience)

    def __repr__(self):
        return "%r.seize(priority=%r, patience=%r)" % (self.facility, self.priority, self.patience)


class _Renege(object):
    """The val of a process that waits with patience: if its timer fires
    first, the loop hands it here before the process resumes."""

    __slots__ = ()

    def expire(self, sim, process):
        entry = process.prev
        while not isinstance(entry.target, Facility) or entry.queue is not entry.target.line:
            entry = entry.prev
        entry.target._renege(entry)
        return False


_RENEGE = _Renege()


class Facility(object):
    """`capacity` identical servers, for which processes wait in `line`.

    line       an empty request container, a new RequestListFIFO by default
               (first come, first served); a RequestListStack or
               RequestArray serves the last come first, a RequestBinaryHeap
               the highest seize priority first (equal ones first come).
    limit      the longest the line may grow: a process that finds it full
               balks (its seize evaluates to False at once).
    preemptive a seize of higher priority takes the server of the holding
               process with the lowest priority (the latest to join among
               equals); that process's hold stops, it waits in line again
               and, once it has a server back, holds for the time it had
               left. Needs a RequestBinaryHeap line.

    Monitors kept without further code: `wait`, a Tally of the waits of the
    seizes served; `length`, a Level of the line length; `busy`, a Level of
    the busy servers. Counters: `served`, `balked`, `reneged`, `preempted`.
    """

    __slots__ = ("sim", "name", "capacity", "limit", "preemptive", "line", "users", "wait", "length", "busy",
                 "balked", "reneged", "preempted", "_kind", "_plain", "__dict__", "__weakref__")

    def __init__(self, sim, capacity=1, line=None, name="facility", limit=None, preemptive=False, series=False):
        if isinstance(capacity, bool) or not isinstance(capacity, numbers.Integral) or capacity < 1:
            raise _error(ArgumentError, sim, "facility %r capacity must be an integer of at least 1, got %r" % (
                name, capacity))
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, numbers.Integral) or limit < 0):
            raise _error(ArgumentError, sim, "facility %r limit must be None or an integer of at least 0, got %r" % (
                name, limit))
        if line is None:
            line = RequestListFIFO()
        if not isinstance(line, RequestContainer):
            raise _error(CommandError, sim, "facility %r line must be a request container, not %r" % (name, line))
        if line:
            raise _error(ArgumentError, sim, "facility %r line must be empty" % (name,))
        if preemptive and not isinstance(line, RequestBinaryHeap):
            raise _error(ArgumentError, sim, "preemptive facility %r needs a RequestBinaryHeap line" % (name,))
        self.sim = sim
        self.name = name
        self.capacity = capacity
        self.limit = limit
        self.preemptive = preemptive
        self.line = sim._register(line)
        self.users = sim._register(RequestListFIFO())
        self._kind = TIMED if isinstance(line, TimeRequestBinaryHeap) else (
            PRIORITY if isinstance(line, RequestBinaryHeap) else LINKED)
        self._plain = Seize(self)
        self.wait = Tally(name + " wait", sim, series)
        self.length = Level(sim, name + " line", 0, series)
        self.busy = Level(sim, name + " busy", 0, series)
        self.balked = self.reneged = self.preempted = 0

    def __repr__(self):
        return "<Facility %r %d/%d busy, %d waiting>" % (self.name, len(self.users), self.capacity, len(self.line))

    @property
    def served(self):
        return self.wait.count

    def seize(self, priority=0.0, patience=None):
        """The command that waits for a server (see Seize). `patience` is
        the longest the process waits in line before it reneges."""
        if patience is None and priority == 0.0:
            return self._plain
        if patience is not None and not patience >= 0:
            raise _error(ArgumentError, self.sim, "seize() patience must not be negative, got %r" % (patience,))
        return Seize(self, priority, patience)

    def reset(self):
        """Restarts the monitors and counters (after a warm-up, say)."""
        self.wait.reset()
        self.length.reset()
        self.busy.reset()
        self.balked = self.reneged = self.preempted = 0

    def _new_entry(self, process, now, priority):
        """The process's entry for this line, recorded in its chain."""
        line, kind = self.line, self._kind
        if kind == LINKED:
            entry = line.create(process, self.name, process.prev, process, None, now, priority, self)
        elif kind == PRIORITY:
            entry = line.create(priority, process, self.name, process.prev, process, None, now, self)
        else:
            entry = line.create(0.0, priority, process, self.name, process.prev, process, None, now, self)
        process.prev = entry
        if entry.prev is not None:
            _forget_older(entry)
        return entry

    def _seize(self, sim, process, priority=0.0, patience=None):
        entry = self._new_entry(process, sim.now, priority)
        users = self.users
        if len(users) < self.capacity:
            users.push(entry)
            self.wait.add(0.0)
            self.busy.set(len(users))
            process.val = True
            return True
        if self.preemptive and self._preempt(sim, priority):
            users.push(entry)
            self.wait.add(0.0)
            process.val = True
            return True
        line = self.line
        if self.limit is not None and len(line) >= self.limit:
            self.balked += 1
            process.val = False
            return True
        line.push(entry)
        self.length.set(len(line))
        process._state = WAITING
        if patience is not None:
            process.val = _RENEGE
            sim._schedule(process, patience, WAITING)
        return False

    def release(self, process=None):
        """Gives back a server that `process` (the running one by default)
        holds; the first in line gets it at once."""
        if process is None:
            process = self.sim.active
            if process is None:
                raise StateError("release() of facility %r outside any process needs the holder" % (self.name,))
        users = self.users
        entry = process.prev
        while entry is not None and entry.queue is not users:
            entry = entry.prev
        if entry is None:
            raise StateError("process %r releases facility %r, which it does not hold" % (process.name, self.name),
                             process)
        self._release_entry(entry)

    def _release_entry(self, entry):
        users = self.users
        users.delete(entry)
        line = self.line
        if line:
            self._grant(line.pop())
        else:
            self.busy.set(len(users))

    def _grant(self, entry):
        sim = self.sim
        self.length.set(len(self.line))
        self.users.push(entry)
        self.wait.add(sim.now - entry.firedTime)
        process = entry.val
        if process.queue is not None:
            sim._events.delete(process)  # its patience timer
        left = process._left
        if left is None:
            process.val = True
            sim._schedule(process, 0.0, GRANTED)
        else:
            # A preempted hold goes on for the time it had left.
            process._left = None
            sim._schedule(process, left, HOLDING)

    @staticmethod
    def _preemptible(sim, process):
        if process.queue is not sim._events:
            return False
        return process._state == GRANTED or (process._state == HOLDING and process.futureTime > sim.now)

    def _renege(self, entry):
        line = self.line
        line.delete(entry)
        self.reneged += 1
        self.length.set(len(line))

    def _preempt(self, sim, priority):
        """Takes a server from the holder of lowest priority (the latest to
        join among equals) when that is lower than priority. Only a holder in
        the midst of a hold with time left, or one that has just been handed
        its server, can lose it: a holder busy with anything else keeps it."""
        victim = None
        for entry in self.users:
            if self._preemptible(sim, entry.val) and (victim is None or entry.priority < victim.priority or (
                    entry.priority == victim.priority and entry.firedTime >= victim.firedTime)):
                victim = entry
        if victim is None or not victim.priority < priority:
            return False
        process = victim.val
        self.users.delete(victim)
        sim._events.delete(process)
        if process._state == HOLDING:
            process._left = process.futureTime - sim.now
            process._state = SUSPENDED
        else:
            # It had not begun: it simply waits again.
            process.val = None
            process._state = WAITING
        self.preempted += 1
        entry = self._new_entry(process, sim.now, victim.priority)
        self.line.push(entry)
        self.length.set(len(self.line))
        return True
