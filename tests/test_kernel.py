# The kernel's own rules and the faults of the layer's old fast path: code
# that runs in the middle of an operation (a monitor, a conversion, a
# finaliser), numbers a float cannot hold, settable capacities, what a
# subclass may override, and that a finished process is freed by reference
# counting alone.
import gc
import sys
import unittest

from vorm import (ArgumentError, CommandError, Facility, Level, Signal, Simulation, SimulationError, StateError,
                  Tally, hold, passivate)
from vorm import ext
from tests.support import PY3


def customers(sim, facility, count, service=1.0, log=None):
    def customer(i):
        yield facility.seize()
        if log is not None:
            log.append((sim.now, i))
        yield hold(service)
        facility.release()
    for i in range(count):
        sim.start(customer(i), name="c%d" % i)


class ReentrantCodeTest(unittest.TestCase):
    def test_monitor_code_that_replaces_the_entry_being_granted(self):
        # A line-length monitor that, when called for a grant, points the
        # entries of the line and of the users list at something else.
        class Meddling(Level):
            def set(self, value):
                Level.set(self, value)
                for container in (clerk.line, clerk.users):
                    for entry in list(container):
                        entry.val = 42
        sim = Simulation()
        clerk = Facility(sim, name="clerk")
        clerk.length = Meddling(sim, "line")
        log = []
        customers(sim, clerk, 4, log=log)
        sim.run()
        # The first customer is served; the entries that waited lost their
        # process, so nobody is granted them, and nothing crashes.
        self.assertEqual(log[0], (0.0, 0))
        self.assertEqual(len(clerk.users), 0)
        sim.close()

    def test_the_order_of_events_is_the_kernels_own(self):
        # The old fast path took the next order number from sim._order by
        # name; an iterator replacing it while running freed itself.
        sim = Simulation()

        class Replacer(object):
            def __iter__(self):
                return self

            def __next__(self):
                sim._order = None
                return 0
            next = __next__
        sim._order = Replacer()
        log = []
        for name in "abc":
            def worker(name=name):
                log.append(name)
                yield hold(1.0)
                log.append(name)
            sim.start(worker())
        sim.run()
        self.assertEqual("".join(log), "abcabc")

    def test_capacity_raised_by_a_priority_conversion_serves_at_once(self):
        sim = Simulation()
        desk = Facility(sim, line=ext.RequestBinaryHeap())

        class Urgency(object):
            def __float__(self):
                desk.capacity = 2
                return 5.0
        got = []

        def holder():
            yield desk.seize()
            yield hold(10.0)

        def urgent():
            yield hold(1.0)
            got.append((yield desk.seize(priority=Urgency())))
            got.append(sim.now)
        sim.start(holder())
        sim.start(urgent())
        sim.run(5.0)
        self.assertEqual(got, [True, 1.0])
        self.assertEqual((desk.served, len(desk.line)), (2, 0))

    def test_raising_the_capacity_hands_servers_to_the_line_at_once(self):
        sim = Simulation()
        desk = Facility(sim, name="desk")
        log = []
        customers(sim, desk, 4, service=10.0, log=log)

        def manager():
            yield hold(1.0)
            desk.capacity = 3
        sim.start(manager())
        sim.run(2.0)
        self.assertEqual(log, [(0.0, 0), (1.0, 1), (1.0, 2)])
        self.assertEqual((desk.busy.value, desk.length.value, len(desk.line)), (3, 1, 1))
        for bad in (0, -1, 1.5, "2", True, None):
            with self.assertRaises(ArgumentError):
                desk.capacity = bad
        desk.limit = 0
        with self.assertRaises(ArgumentError):
            desk.limit = -1
        self.assertEqual((desk.capacity, desk.limit), (3, 0))
        sim.close()


class NumbersAndMistakesTest(unittest.TestCase):
    def test_numbers_beyond_a_float_and_nan_priorities(self):
        sim = Simulation()
        desk = Facility(sim)
        log = []

        def proc():
            for bad in (10 ** 400, -10 ** 400):
                try:
                    yield bad
                except ArgumentError as error:
                    log.append(str(error).split(":")[0])
            for priority in (float("nan"), 10 ** 400, "x"):
                try:
                    yield desk.seize(priority=priority)
                except SimulationError as error:
                    log.append(type(error).__name__)
            yield hold(1.0)
        sim.start(proc(), name="p")
        sim.run()
        self.assertEqual(log, ["process 'p'"] * 2 + ["ArgumentError", "ArgumentError", "CommandError"])
        self.assertEqual(sim.now, 1.0)

    def test_an_error_in_a_command_leaves_no_process_behind(self):
        sim = Simulation()
        desk = Facility(sim)
        finished = []

        def stubborn():
            try:
                yield desk.seize(priority="high")
            finally:
                finished.append("finally")

        def forever():
            try:
                yield passivate()
            finally:
                finished.append("closed")
        sim.start(forever())
        sim.start(stubborn())
        with self.assertRaises(CommandError):
            sim.run()
        self.assertEqual(finished, ["finally"])
        self.assertEqual(sim.alive, 1)
        sim.close()
        self.assertEqual(finished, ["finally", "closed"])
        self.assertEqual(sim.alive, 0)

    def test_clear_errors_for_misuse(self):
        sim = Simulation()
        desk = Facility(sim)
        for attempt, kind in ((lambda: Facility(None), CommandError), (lambda: Signal(None), CommandError),
                              (lambda: desk.seize(patience="x"), CommandError),
                              (lambda: desk.seize(priority=float("nan")), ArgumentError),
                              (lambda: desk.release(42), CommandError),
                              (lambda: sim.run(until="x"), CommandError),
                              (lambda: sim.run(until=10 ** 400), ArgumentError),
                              (lambda: sim.start((x for x in ()), delay=10 ** 400), ArgumentError),
                              (lambda: hold(10 ** 400), ArgumentError)):
            with self.assertRaises(kind):
                attempt()

    @unittest.skipIf(PY3, "Python 2 keeps one exception state per thread")
    def test_a_bare_raise_after_a_yield_on_python_2(self):
        # As from a plain generator resumed by a clean loop: what the
        # process was handling before its yield is out of reach.
        sim = Simulation()
        caught = []

        def proc():
            try:
                raise KeyError("mine")
            except KeyError:
                yield hold(1.0)
                try:
                    raise
                except Exception as error:
                    caught.append(type(error).__name__)
        sim.start(proc())
        try:
            raise ValueError("the caller's")
        except ValueError:
            sim.run()
        self.assertEqual(caught, ["TypeError"])

    @unittest.skipUnless(PY3, "Python 3 keeps a generator's exception state")
    def test_a_bare_raise_after_a_yield_on_python_3(self):
        sim = Simulation()
        caught = []

        def proc():
            try:
                raise KeyError("mine")
            except KeyError:
                yield hold(1.0)
                try:
                    raise
                except KeyError as error:
                    caught.append(error.args)
        sim.start(proc())
        sim.run()
        self.assertEqual(caught, [("mine",)])


class SubclassTest(unittest.TestCase):
    def test_overrides_that_the_layer_calls(self):
        class Counting(Tally):
            def add(self, x):
                self.seen = getattr(self, "seen", 0) + 1
                Tally.add(self, x)

        class Changes(Level):
            def set(self, value):
                self.changes = getattr(self, "changes", 0) + 1
                Level.set(self, value)

        class Shop(Simulation):
            def __init__(self, label):
                Simulation.__init__(self)
                self.label = label

        class Desk(Facility):
            def __init__(self, sim, **kwargs):
                Facility.__init__(self, sim, **kwargs)
                self.wait = Counting("waits", sim)
                self.length = Changes(sim, "line")
        sim = Shop("corner")
        desk = Desk(sim, name="desk")
        customers(sim, desk, 3)
        sim.run()
        self.assertEqual((sim.label, desk.wait.seen, desk.served, desk.wait.mean()), ("corner", 3, 3, 1.0))
        # Two customers joined the line, two were granted from it.
        self.assertEqual((desk.length.changes, desk.length.max), (4, 2))
        level = Changes(sim, "x")
        level.add(2)
        self.assertEqual((level.changes, level.value), (1, 2))


def mixed_model():
    """Seizes with and without patience, holds, waits for a signal; every
    process finishes."""
    from vorm import wait
    sim = Simulation()
    clerk = Facility(sim)
    waiter = Signal(sim)
    waiting = wait(waiter)

    def customer(i):
        got = yield clerk.seize(patience=0.5 if i % 3 == 0 else None)
        yield hold(0.3)
        if got:
            clerk.release()
        if i % 4 == 0:
            waiter.set(i)

    def joiner():
        yield hold(0.1)
        yield waiting
        yield hold(0.1)

    def source():
        for i in range(500):
            yield hold(0.25)
            sim.start(customer(i))
            if i % 10 == 0:
                sim.start(joiner())
    sim.start(source())
    sim.run()
    return sim.alive


def race_model():
    """Each order starts a courier (whose parent it is) and waits for the
    first of the courier and a deadline; a late courier is interrupted."""
    from vorm import Interrupt, first, wait
    sim = Simulation()

    def courier(trip):
        try:
            yield hold(trip)
        except Interrupt:
            pass

    def order(i):
        sent = sim.start(courier(0.5 + i % 3))
        which, _ = yield first(wait(sent), hold(1.2))
        if which == 1:
            sent.interrupt("late")

    def source():
        for i in range(300):
            yield hold(0.25)
            sim.start(order(i))
    sim.start(source())
    sim.run()
    return sim.alive


class CollectorTest(unittest.TestCase):
    def test_finished_processes_are_freed_without_the_collector(self):
        gc.collect()
        was = gc.isenabled()
        gc.disable()
        try:
            for model in (mixed_model, race_model):
                self.assertEqual(model(), 0)
                self.assertEqual(gc.collect(), 0, model.__name__)
        finally:
            if was:
                gc.enable()


if __name__ == "__main__":
    unittest.main()
