# The native fast path against the plain Python layer: random models that
# use every command, line kind and mistake must leave the same log, the same
# monitor values and the same errors, bit for bit, either way.
import random
import unittest

from vorm import (Facility, ProcessError, Signal, Simulation, SimulationError, StateError, hold,
                  passivate, speedups, wait)
from vorm import ext

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


class SameNumbersTest(unittest.TestCase):
    def setUp(self):
        self.was = speedups.enabled()

    def tearDown(self):
        speedups.enable(self.was)

    def both(self, function, *args):
        results = []
        for native in (False, True):
            speedups.enable(native)
            results.append(function(*args))
        return results

    @unittest.skipUnless(speedups.available(), "vorm._speedups is not built for this interpreter")
    def test_random_models_agree(self):
        kinds = ("seize", "held", "hold", "wait", "signal", "passive", "poked", "refused", "joined",
                 "ArgumentError", "CommandError", "marked")
        seen = set()
        for seed in range(100):
            plain, native = self.both(random_model, seed)
            self.assertEqual(plain, native, "seed %d" % seed)
            seen.update(kind for kind in kinds if "'%s'" % kind in plain)
        # The models did reach every kind of step.
        self.assertEqual(seen, set(kinds))

    def test_switching(self):
        self.assertEqual(speedups.enable(True), speedups.available())
        self.assertEqual(speedups.enable(False), False)
        self.assertEqual(Simulation.__dict__["start"].__name__, "start")


if __name__ == "__main__":
    unittest.main()
