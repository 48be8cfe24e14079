"""The simulation layer's outputs, kept as golden files under tests/golden/:
every example model at a small size, 100 random models that use every
command, line kind and mistake, and the layer's error messages. The suite
(tests/test_golden.py) requires every build to reproduce them exactly.

    PYTHONPATH=. python tests/golden.py --write     # record them anew

Python 2 and 3 draw different numbers from random.choice and randint, so
each line of Python has files of its own (-py2, -py3).
"""
from __future__ import division, print_function

import gzip
import math
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLES = os.path.join(ROOT, "examples")
if EXAMPLES not in sys.path:
    sys.path.insert(0, EXAMPLES)

from vorm import (ArgumentError, CommandError, Facility, ProcessError, Signal, Simulation, SimulationError,  # noqa
                  StateError, hold, passivate, wait)
from vorm import ext  # noqa: E402

LINES = (ext.RequestListFIFO, ext.RequestListStack, ext.RequestArray, ext.RequestArrayStack, ext.RequestDEQFIFO,
         ext.RequestBinaryHeap, ext.TimeRequestBinaryHeap)


def random_model(seed):
    """Runs a random model; returns everything it observed."""
    rng = random.Random(seed)
    sim, log = Simulation(), []
    facilities = []
    for i in range(rng.randint(1, 3)):
        line = rng.choice(LINES)()
        preemptive = isinstance(line, ext.RequestBinaryHeap) and rng.random() < 0.5
        facilities.append(Facility(sim, capacity=rng.randint(1, 3), line=line, name="f%d" % i,
                                   limit=rng.choice((None, None, 0, 2, 5)), preemptive=preemptive,
                                   series=rng.random() < 0.3))
    signals = [Signal(sim, "s%d" % i) for i in range(2)]
    processes = []

    def note(*what):
        log.append((sim.now,) + what)

    def child(depth):
        yield hold(rng.random())
        if depth < 2 and rng.random() < 0.3:
            note("grandchild", (yield wait(sim.start(child(depth + 1), name="c%d" % depth))))
        note("child done", depth)

    def actor(number):
        for _ in range(rng.randint(5, 20)):
            action = rng.random()
            me = sim.active
            if action < 0.35:
                f = rng.choice(facilities)
                patience = rng.choice((None, None, rng.random() * 2))
                got = yield f.seize(priority=rng.randint(0, 3), patience=patience)
                note(number, "seize", f.name, got, me.time(f.name))
                if got:
                    left = yield hold(rng.expovariate(1.0))
                    note(number, "held", left)
                    if rng.random() < 0.1:
                        note(number, "released all", me.releaseAllFacilities())
                    else:
                        f.release()
            elif action < 0.5:
                note(number, "hold", (yield rng.choice((hold(rng.random()), rng.random(), 1, 0.0))))
            elif action < 0.58:
                signal = rng.choice(signals)
                note(number, "wait", signal.name, (yield wait(signal)))
            elif action < 0.66:
                signal = rng.choice(signals)
                signal.set(number) if rng.random() < 0.8 else signal.reset()
                note(number, "signal", signal.name, signal.is_set)
            elif action < 0.72:
                note(number, "passive", (yield passivate()))
            elif action < 0.8:
                others = [p for p in processes if p is not me and not p.finished]
                if others:
                    other = rng.choice(others)
                    try:
                        if rng.random() < 0.5:
                            other.interrupt()
                        else:
                            other.reactivate(number, delay=rng.choice((0.0, 0.5)))
                        note(number, "poked", other.name)
                    except StateError as error:
                        note(number, "refused", str(error))
            elif action < 0.86:
                note(number, "joined", (yield wait(sim.start(child(0), name="c"))))
            elif action < 0.92:
                try:
                    yield rng.choice((-1.0, "x", float("nan"), -2))
                except SimulationError as error:
                    note(number, type(error).__name__, str(error))
            else:
                me.mark("m%d" % rng.randint(0, 2), number)
                note(number, "marked", me.names())
        if rng.random() < 0.05:
            raise KeyError(number)

    for number in range(rng.randint(4, 14)):
        processes.append(sim.start(actor(number), name="p%d" % number, delay=rng.choice((0.0, 0.5, 1.0))))
    errors = []
    for until in (3.0, 7.0, None):
        while True:
            try:
                sim.run(until)
                break
            except ProcessError as error:
                errors.append((sim.now, str(error)))
    stats = []
    for f in facilities:
        stats.append((f.name, f.served, f.balked, f.reneged, f.preempted, f.wait.count, f.wait.total, f.wait.mean(),
                      f.wait.variance(), f.wait.min, f.wait.max, f.wait.series, f.length.mean(), f.length.min,
                      f.length.max, f.length.series, f.busy.mean(), f.busy.max, len(f.line), len(f.users)))
    states = [(p.name, p.finished, p.passive, p.queue is None) for p in processes]
    sim.close()
    # repr: a NaN is not equal to itself, but its text is.
    return repr((log, errors, stats, states))


def random_models(count=100):
    return "".join("%d %s\n" % (seed, random_model(seed)) for seed in range(count))


def _outputs(outputs):
    return "{%s}" % ", ".join("%r: %r" % (name, outputs[name]) for name in sorted(outputs))


def examples():
    """Each example's model at a small size, three seeds each."""
    import bank
    import mm1
    import mmc
    import network
    import preempt
    import priority
    import sweep
    small = dict(customers=2000, warmup=200)
    runs = [
        ("mm1", mm1.model, dict(small, arrival=0.9)),
        ("mm1 urgent", mm1.model, dict(small, arrival=0.8, urgent=0.3)),
        ("mmc", mmc.model, dict(small, arrival=2.7, servers=3)),
        ("priority", priority.model, dict(small)),
        ("preempt", preempt.model, dict(small)),
        ("bank", bank.model, dict(minutes=600.0, warmup=60.0)),
        ("bank no limit", bank.model, dict(minutes=300.0, warmup=30.0, limit=None, patience=2.0, arrival=4.0)),
        ("bank overloaded", bank.model, dict(arrival=10.0, service=1.0, tellers=1, limit=None, patience=50.0,
                                             warmup=100.0, minutes=100.0)),
        ("network", network.model, dict(jobs=2000, warmup=200)),
        ("sweep", sweep.model, dict(load=0.9, servers=2, customers=2000, warmup=200)),
    ]
    lines = []
    for name, model, params in runs:
        for seed in (1, 2026, 77777):
            lines.append("%s %d %s\n" % (name, seed, _outputs(model(seed, **params))))
    server, waits = mm1.simulate(5, customers=500, warmup=0, series=True)
    for monitor in (server.length, server.wait, server.busy):
        series = monitor.series
        lines.append("plot %s %d %r %r\n" % (monitor.name, len(series), math.fsum(v for _, v in series),
                                             series[-3:]))
    return "".join(lines)


def _caught(action):
    try:
        action()
    except Exception as error:
        return "%s: %s" % (type(error).__name__, error)
    return "no error"


def errors():
    """The message of every mistake the layer tells apart."""
    lines = []

    def note(what, text):
        lines.append("%s -> %s\n" % (what, text))

    def inside(what, body):
        """Runs body(sim, log) as a process; notes what it logged and what
        left run()."""
        sim = Simulation()
        log = []
        sim.start(body(sim, log), name="p")
        outcome = _caught(sim.run)
        for entry in log:
            note(what, entry)
        note(what + " (run)", outcome)

    def yielding(value):
        def body(sim, log):
            yield hold(1.0)
            try:
                yield value
            except SimulationError as error:
                log.append("%s: %s [process %s]" % (type(error).__name__, error, error.process.name))
        return body

    for value in (-1.0, float("nan"), -3, "x", None, True, [1], 1j):
        inside("yield %r" % (value,), yielding(value))

    def uncaught(sim, log):
        yield -2.0
    inside("uncaught negative delay", uncaught)

    def not_command(sim, log):
        yield "not a command"
    inside("uncaught non-command", not_command)

    def raises(sim, log):
        yield hold(1.0)
        raise KeyError("boom")
    inside("process raises", raises)

    def calls(sim, log):
        yield hold(1.0)
        other = Simulation()
        attempts = [
            ("run inside", sim.run),
            ("close inside", sim.close),
            ("start non-generator", lambda: sim.start(5)),
            ("start negative delay", lambda: sim.start(calls(sim, []), delay=-1)),
            ("start text delay", lambda: sim.start(calls(sim, []), delay="x")),
            ("capacity 0", lambda: Facility(sim, capacity=0)),
            ("capacity 1.5", lambda: Facility(sim, capacity=1.5)),
            ("capacity True", lambda: Facility(sim, capacity=True)),
            ("capacity text", lambda: Facility(sim, capacity="2")),
            ("limit -1", lambda: Facility(sim, limit=-1)),
            ("limit 1.5", lambda: Facility(sim, limit=1.5)),
            ("line list", lambda: Facility(sim, line=[])),
            ("preemptive fifo", lambda: Facility(sim, preemptive=True)),
            ("patience -1", lambda: Facility(sim).seize(patience=-1)),
            ("release not held", lambda: Facility(sim, name="desk").release()),
            ("interrupt running", lambda: sim.active.interrupt()),
            ("reactivate running", lambda: sim.active.reactivate()),
            ("wait number", lambda: wait(5)),
            ("hold text", lambda: hold("3")),
            ("hold None", lambda: hold(None)),
            ("other sim facility", lambda: Facility(other, capacity=0)),
        ]
        for name, attempt in attempts:
            log.append("%s: %s" % (name, _caught(attempt)))
        for target in (sim.active, Signal(other, "foreign")):
            try:
                yield wait(target)
            except SimulationError as error:
                log.append("wait %r: %s: %s" % (target.name, type(error).__name__, error))
        full = ext.RequestListFIFO()
        full.push(ext.LinkedRequest())
        log.append("full line: %s" % _caught(lambda: Facility(sim, line=full)))
        sleeper = sim.start(sleeping(), name="sleeper")
        yield hold(0.5)
        log.append("reactivate with negative delay: %s" % _caught(lambda: sleeper.reactivate(delay=-1.0)))
        log.append("reactivate with text delay: %s" % _caught(lambda: sleeper.reactivate(delay="soon")))
        log.append("interrupt passive: %s" % _caught(sleeper.interrupt))
        sleeper.reactivate()

    def sleeping():
        yield passivate()

    inside("misuse inside", calls)

    sim = Simulation()
    desk = Facility(sim, name="desk")
    note("release outside", _caught(desk.release))
    note("run until before now", _caught(lambda: (sim.run(5.0), sim.run(3.0))))
    note("start outside, not a generator", _caught(lambda: sim.start(5)))
    note("start outside, text delay", _caught(lambda: sim.start((x for x in ()), delay="x")))
    sim.close()
    note("run closed", _caught(sim.run))
    note("start closed", _caught(lambda: sim.start((x for x in ()))))

    # A failed process tells whoever waits for it.
    sim = Simulation()
    log = []

    def fragile():
        yield hold(1.0)
        raise ValueError("broken")

    def watcher(target):
        try:
            yield wait(target)
        except ProcessError as error:
            log.append("watcher told: %s (%s)" % (error, error.process.name))
    target = sim.start(fragile(), name="fragile")
    sim.start(watcher(target), name="watcher")
    note("failed process", _caught(sim.run))
    note("failed process, again", _caught(sim.run))
    for entry in log:
        note("failed process", entry)
    return "".join(lines)


GOLDEN = (("random-models", random_models), ("examples", examples), ("errors", errors))


def path(name):
    return os.path.join(HERE, "golden", "%s-py%d.txt.gz" % (name, sys.version_info[0]))


def read(name):
    with gzip.open(path(name), "rb") as stream:
        return stream.read().decode("utf-8")


def write(name, text):
    # No time stamp in the gzip header, so that the files change only when
    # their text does.
    with open(path(name), "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as stream:
            stream.write(text.encode("utf-8"))


def main(argv):
    if argv[1:] != ["--write"]:
        sys.stderr.write("usage: PYTHONPATH=. python tests/golden.py --write\n")
        return 2
    for name, produce in GOLDEN:
        write(name, produce())
        print("wrote", path(name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
