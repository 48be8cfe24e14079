# What modellers reach for besides seize and hold: the first of several
# commands or all of them, interrupts with a cause, stores, tanks, holds
# with a value, runs until a process or a signal, stopping a run, failing
# signals, the event trace and histograms.
import gc
import io
import unittest

from vorm import (ArgumentError, CommandError, Facility, Interrupt, Signal, Simulation, StateError, Store, Tally,
                  Tank, all_of, first, hold, passivate, wait)
from vorm import ext
from vorm.trace import CsvTrace
from tests.support import CONTAINERS, HEAPS


def held_requests():
    gc.collect()
    return [r for r in gc.get_objects() if isinstance(r, ext.Request) and r.queue is not None]


class LeftBehind(object):
    """The requests held by some container that were not held before."""

    def __init__(self):
        self.before = set(map(id, held_requests()))

    def __call__(self):
        return [r for r in held_requests() if id(r) not in self.before]


def run(*makers):
    """Runs generator functions, each called with (sim, log); the log."""
    sim, log = Simulation(), []
    for make in makers:
        sim.start(make(sim, log))
    sim.run()
    return sim, log


class CompositeTest(unittest.TestCase):
    def test_the_loser_of_a_race_leaves_its_line_on_every_line_kind(self):
        for kind in CONTAINERS + HEAPS:
            sim = Simulation()
            desk = Facility(sim, line=kind(), name="desk")
            log = []

            def holder():
                yield desk.seize()
                yield hold(10.0)
                desk.release()

            def impatient():
                which, value = yield first(desk.seize(priority=1), hold(2.0, "gave up"))
                log.append((sim.now, which, value, len(desk.line), desk.length.value))
                yield hold(20.0)
                log.append((sim.now, desk.served))
            sim.start(holder())
            sim.start(impatient())
            sim.run()
            # It gave up at 2 and was never granted the server freed at 10.
            self.assertEqual(log, [(2.0, 1, "gave up", 0, 0), (22.0, 1)], kind.__name__)
            self.assertEqual((len(desk.line), len(desk.users), sim.pending), (0, 0, 0))

    def test_the_winner_takes_its_value_and_the_timer_goes(self):
        left = LeftBehind()

        def proc(sim, log):
            desk = Facility(sim)
            log.append((yield first(desk.seize(), hold(5.0))))      # a free server: at once
            log.append((sim.now, sim.pending))
            go = Signal(sim, "go")
            sim.start(setter(go))
            log.append((yield first(hold(3.0), wait(go))))
            log.append((sim.now, sim.pending))
            desk.release()

        def setter(go):
            yield hold(1.0)
            go.set("ready")
        sim, log = run(proc)
        self.assertEqual(log, [(0, True), (0.0, 0), (1, "ready"), (1.0, 0)])
        self.assertEqual(left(), [])

    def test_all_of_waits_for_every_branch(self):
        def proc(sim, log):
            a, b = Facility(sim, name="a"), Facility(sim, name="b")
            store = Store(sim)
            sim.start(feeder(store))
            values = yield all_of(a.seize(), hold(2.0, "two"), store.get(), b.seize())
            log.append((sim.now, values, len(a.users), len(b.users)))
            a.release()
            b.release()

        def feeder(store):
            yield hold(4.0)
            yield store.put("part")
        sim, log = run(proc)
        self.assertEqual(log, [(4.0, [True, "two", "part", True], 1, 1)])

    def test_mistakes_in_composites(self):
        def proc(sim, log):
            for attempt in (lambda: first(), lambda: all_of()):
                try:
                    attempt()
                except CommandError as error:
                    log.append(str(error))
            for command in (first(hold(1.0), first(hold(2.0))), first(hold(1.0), passivate()),
                            all_of(hold(1.0), "x"), first(hold(-1.0))):
                try:
                    yield command
                except CommandError as error:
                    log.append(type(error).__name__)
                except ArgumentError as error:
                    log.append(str(error))
            yield hold(1.0)
            log.append((sim.now, sim.pending))
        sim, log = run(proc)
        self.assertEqual(log, ["first() needs at least one command", "all_of() needs at least one command",
                               "CommandError", "CommandError", "CommandError",
                               "process 'proc': hold() delay must not be negative, got -1.0", (1.0, 0)])


class InterruptTest(unittest.TestCase):
    def test_a_cause_reaches_a_process_whatever_it_waits_for(self):
        left = LeftBehind()
        sim = Simulation()
        desk = Facility(sim, name="desk")
        go = Signal(sim, "go")
        store = Store(sim, capacity=1)
        tank = Tank(sim, capacity=10.0)
        log = []
        waits = {"hold": lambda: hold(5.0), "line": desk.seize, "signal": lambda: wait(go),
                 "passive": passivate, "store": store.get, "tank": lambda: tank.get(3.0),
                 "first": lambda: first(desk.seize(), wait(go)), "all_of": lambda: all_of(hold(9.0), store.get())}

        def holder():
            yield desk.seize()
            yield hold(100.0)

        def waiter(name):
            try:
                yield waits[name]()
            except Interrupt as interrupt:
                log.append((sim.now, name, interrupt.cause, interrupt.left))
        sim.start(holder())
        victims = [sim.start(waiter(name), name=name) for name in sorted(waits)]

        def interrupter():
            yield hold(1.0)
            for victim in victims:
                victim.interrupt("stop " + victim.name)
            with self.assertRaises(StateError):
                victims[0].interrupt("again")  # it is about to resume, no longer waiting
        sim.start(interrupter())
        sim.run(50.0)
        # A hold, also one that is a branch, tells the time it had left.
        remaining = {"hold": 4.0, "all_of": 8.0}
        self.assertEqual(sorted(log), sorted((1.0, name, "stop " + name, remaining.get(name)) for name in waits))
        # Nothing of theirs is left anywhere: only the holder's server and
        # its own hold.
        self.assertEqual((len(desk.line), len(go.waiters), len(store.getters), len(tank.getters)), (0, 0, 0, 0))
        self.assertEqual(sorted(r.name for r in left()), ["desk", "holder"])
        sim.close()


class StoreTankTest(unittest.TestCase):
    def test_store_order_bounds_and_monitors(self):
        def producer(sim, log):
            for item in "abcd":
                yield store[0].put(item)
                log.append((sim.now, "put", item))

        def consumer(sim, log):
            yield hold(1.0)
            for _ in range(4):
                log.append((sim.now, "got", (yield store[0].get())))
                yield hold(1.0)
        store = []
        sim = Simulation()
        store.append(Store(sim, capacity=2, name="bin"))
        log = []
        sim.start(producer(sim, log))
        sim.start(consumer(sim, log))
        sim.run()
        self.assertEqual(log, [(0.0, "put", "a"), (0.0, "put", "b"), (1.0, "got", "a"), (1.0, "put", "c"),
                               (2.0, "got", "b"), (2.0, "put", "d"), (3.0, "got", "c"), (4.0, "got", "d")])
        bin_ = store[0]
        self.assertEqual((bin_.contents.max, bin_.put_wait.count, bin_.put_wait.max, bin_.get_wait.mean()),
                         (2, 4, 1.0, 0.0))

    def test_priority_and_filtered_stores(self):
        def proc(sim, log):
            ranked = Store(sim, priority=True)
            for item, priority in (("low", 0), ("high", 5), ("mid", 2), ("high2", 5)):
                yield ranked.put(item, priority)
            log.append(ranked.items)
            log.append((yield ranked.get(lambda item: item.startswith("m"))))
            got = []
            for _ in range(3):
                got.append((yield ranked.get()))
            log.append(got)
            parts = Store(sim)
            sim.start(late(parts))
            part = yield parts.get(lambda part: part % 2 == 0)
            log.append((part, sim.now))

        def late(parts):
            for part in (1, 3, 4):
                yield hold(1.0)
                yield parts.put(part)
        sim, log = run(proc)
        self.assertEqual(log, [["high", "high2", "mid", "low"], "mid", ["high", "high2", "low"], (4, 3.0)])

    def test_tank_serves_its_lines_in_strict_order(self):
        def proc(sim, log):
            fuel = Tank(sim, capacity=100.0, init=10.0, name="fuel")
            for name, amount in (("big", 50.0), ("small", 5.0)):
                sim.start(car(fuel, name, amount, log))
            yield hold(1.0)
            yield fuel.put(60.0)
            log.append((sim.now, "filled", fuel.amount))
            yield fuel.put(90.0)  # waits until it fits
            log.append((sim.now, "topped", fuel.amount))

        def car(fuel, name, amount, log):
            got = yield fuel.get(amount)
            log.append((fuel.sim.now, name, got))
            yield hold(2.0)
            if name == "small":
                yield fuel.get(15.0)
        sim, log = run(proc)
        # small (5 fits at once in 10) waits behind big; both go at 1.
        self.assertEqual(log, [(1.0, "filled", 15.0), (1.0, "big", 50.0), (1.0, "small", 5.0),
                               (3.0, "topped", 90.0)])

    def test_misuse_of_stores_and_tanks(self):
        sim = Simulation()
        store, tank = Store(sim), Tank(sim, capacity=10.0)
        for attempt, kind in ((lambda: Store(None), CommandError), (lambda: Store(sim, capacity=0), ArgumentError),
                              (lambda: store.put(1, priority=2), ArgumentError), (lambda: store.get(5), CommandError),
                              (lambda: Tank(sim, capacity=-1), ArgumentError),
                              (lambda: Tank(sim, capacity=1, init=2), ArgumentError),
                              (lambda: tank.get(0), ArgumentError), (lambda: tank.put(11), ArgumentError),
                              (lambda: tank.get("x"), CommandError)):
            with self.assertRaises(kind):
                attempt()
        other = Simulation()

        def stranger(sim, log):
            try:
                yield store.put(1)
            except StateError as error:
                log.append(str(error).split(":")[0])
        self.assertEqual(run(stranger)[1], ["process 'stranger'"])
        self.assertEqual(len(store), 0)
        other.close()


class RunControlTest(unittest.TestCase):
    def test_until_a_process_or_a_signal_and_stopping(self):
        sim = Simulation()
        go = Signal(sim, "go")

        def worker():
            yield hold(3.0, "value")
            go.set("set at 3")
            yield hold(4.0)

        def stopper():
            yield hold(10.0)
            sim.stop("stopped")
            yield hold(1.0)
        p = sim.start(worker())
        sim.start(stopper())
        self.assertEqual((sim.run(until=go), sim.now), ("set at 3", 3.0))
        self.assertEqual((sim.run(until=p), sim.now, p.finished), (None, 7.0, True))
        self.assertEqual(sim.run(until=p), None)  # finished already
        self.assertEqual((sim.run(), sim.now), ("stopped", 10.0))
        self.assertEqual((sim.run(), sim.now), (None, 11.0))
        with self.assertRaises(StateError):
            sim.stop()

    def test_a_failed_signal_raises_in_every_waiter(self):
        def waiter(sim, log):
            try:
                yield wait(alarm[0])
            except KeyError as error:
                log.append((sim.now, error.args))

        def raiser(sim, log):
            yield hold(2.0)
            alarm[0].fail(KeyError("fire"))
        alarm = []
        sim = Simulation()
        alarm.append(Signal(sim, "alarm"))
        log = []
        for make in (waiter, waiter, raiser):
            sim.start(make(sim, log))
        sim.run()
        sim.start(waiter(sim, log))  # a failed signal fails a new wait at once
        sim.run()
        self.assertEqual(log, [(2.0, ("fire",))] * 3)


class TraceHistogramTest(unittest.TestCase):
    def test_the_trace_of_a_small_model(self):
        sim = Simulation()
        events = []
        sim.trace = lambda *event: events.append(event)
        desk = Facility(sim, name="desk")

        def customer():
            yield desk.seize()
            yield hold(2.0)
            desk.release()
        for name in "ab":
            sim.start(customer(), name=name)
        sim.run()
        named = [(time, process.name, what, getattr(value, "name", value)) for time, process, what, value in events]
        self.assertEqual(named, [(0.0, "a", "start", None), (0.0, "b", "start", None), (0.0, "a", "seize", "desk"),
                                 (0.0, "a", "granted", "desk"), (0.0, "a", "hold", 2.0), (0.0, "b", "seize", "desk"),
                                 (2.0, "a", "release", "desk"), (2.0, "b", "granted", "desk"),
                                 (2.0, "a", "finish", None), (2.0, "b", "hold", 2.0), (4.0, "b", "release", "desk"),
                                 (4.0, "b", "finish", None)])
        text = io.StringIO() if str is not bytes else io.BytesIO()
        with CsvTrace(text) as trace:
            trace(1.5, events[0][1], "hold", 2.0)
        self.assertEqual(text.getvalue(), "time,process,what,value\n1.5,a,hold,2.0\n")

    def test_histograms(self):
        binned = Tally("wait", bins=[0.0, 1.0, 2.0, 4.0])
        kept = Tally("wait", series=True)
        for x in (0.5, 1.0, 1.5, 3.9, 4.0, 5.0, -1.0):
            binned.add(x)
            kept.add(x)
        histogram = binned.histogram()
        self.assertEqual((histogram.counts, histogram.below, histogram.above), ([1, 2, 2], 1, 1))
        self.assertEqual(kept.histogram([0.0, 1.0, 2.0, 4.0]).counts, [1, 2, 2])
        automatic = kept.histogram()
        self.assertEqual(sum(automatic.counts), 7)
        self.assertIn("[1, 2)", str(histogram))
        with self.assertRaises(ValueError):
            Tally("w").histogram()
        with self.assertRaises(ValueError):
            Tally("w", bins=[1.0, 0.5])


if __name__ == "__main__":
    unittest.main()
