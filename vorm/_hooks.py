"""What the native kernel (vorm._kernel) asks of Python: the exception
classes, the reprs of its types, and the rare operations that read best in
Python. The kernel imports this module once, when it loads, and keeps every
name below; so this module must not import the kernel itself at import time.
"""
from __future__ import division

import csv
import sys
from numbers import Integral, Real

from vorm.errors import (ArgumentError, CommandError, Interrupt, ProcessError,  # noqa: F401 (the kernel's)
                         SimulationError, StateError)


def _name(thing):
    return getattr(thing, "name", "?")


# -- reprs --------------------------------------------------------------------

def simulation_repr(sim):
    return "<Simulation now=%r, %d events pending, %d processes alive%s>" % (
        sim.now, sim.pending, sim.alive, ", closed" if sim.closed else "")


def process_repr(process):
    wakes = process.wakes
    state = process.state
    if wakes is not None:
        return "<Process %r %s, wakes at %r>" % (process.name, state, wakes)
    return "<Process %r %s>" % (process.name, state)


def facility_repr(facility):
    return "<Facility %r %d/%d busy, %d waiting>" % (facility.name, len(facility.users), facility.capacity,
                                                    len(facility.line))


def seize_repr(seize):
    return "%r.seize(priority=%r, patience=%r)" % (seize.facility, seize.priority, seize.patience)


def hold_repr(command):
    return "hold(%r, %r)" % (command.delay, command.value)


def condition_repr(condition):
    return "%s(%s)" % ("all_of" if condition.all else "first", ", ".join(repr(c) for c in condition.commands))


def store_repr(store):
    return "<Store %r %d/%s items, %d waiting to get, %d to put>" % (
        store.name, len(store), store.capacity, len(store.getters), len(store.putters))


def tank_repr(tank):
    return "<Tank %r %r/%r, %d waiting to get, %d to put>" % (
        tank.name, tank.amount, tank.capacity, len(tank.getters), len(tank.putters))


def transfer_repr(command):
    target = command.target
    if command.get:
        what = "" if command.filter is None else "filter=%r" % (command.filter,)
        if hasattr(target, "amount"):
            what = repr(command.item)
        return "%r.get(%s)" % (target, what)
    return "%r.put(%r)" % (target, command.item)


def tally_repr(tally):
    return "<Tally %r n=%d mean=%.6g>" % (tally.name, tally.count, tally.mean())


def level_repr(level):
    return "<Level %r value=%r mean=%.6g>" % (level.name, level.value, level.mean())


# -- monitors -----------------------------------------------------------------

def write_series(monitor, path):
    """Writes a monitor's kept (time, value) points as CSV lines."""
    series = monitor.series
    if series is None:
        raise ValueError("monitor %r keeps no series: create it with series=True" % (monitor.name,))
    if hasattr(path, "write"):
        _write_points(path, monitor.name, series)
        return
    stream = open(path, "w", newline="") if sys.version_info[0] >= 3 else open(path, "wb")
    with stream:
        _write_points(stream, monitor.name, series)


def _write_points(stream, name, series):
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(("time", name))
    writer.writerows(series)


def histogram(tally, bins=None):
    from vorm.histogram import of_tally
    return of_tally(tally, bins)


# -- running ------------------------------------------------------------------

def run_until(sim, until):
    """What run(until=...) waits for when until is not an int or a float:
    (0, time) for another kind of number, (1, value) when it has happened
    already, (2, entry) with a stopper parked where it will fire."""
    from vorm.simulation import Process, Signal
    if isinstance(until, Real) and not isinstance(until, bool):
        try:
            return 0, float(until)
        except OverflowError:
            raise ArgumentError("run(): until is too large for a float (%.40r...)" % (until,))
    if isinstance(until, Process):
        if until.sim is not sim:
            raise StateError("run(): process %r belongs to another simulation" % (until.name,))
        if until.finished:
            return 1, until.result
        return 2, sim._stopper(until._joiners(), until)
    if isinstance(until, Signal):
        if until.sim is not sim:
            raise StateError("run(): signal %r belongs to another simulation" % (until.name,))
        if until.failure is not None:
            raise until.failure
        if until.is_set:
            return 1, until.value
        return 2, sim._stopper(until.waiters, until)
    raise CommandError("run(): until must be None, a time, a process or a signal, not %r" % (until,))
