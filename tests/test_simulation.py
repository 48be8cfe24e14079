# The simulation layer's rules: the order of simultaneous events, holds and
# interrupts, passivation, waits, facilities (lines, renege, balk,
# preemption), errors, and that nothing is left in any container.
import gc
import unittest

from vorm import (ArgumentError, CommandError, Facility, ProcessError, Signal, Simulation, SimulationError,
                  StateError, hold, passivate, wait)
from vorm import ext


def run(*generators, **kwargs):
    """Runs generator functions (called with the simulation and a log) and
    returns the log of (time, what) pairs."""
    sim = kwargs.get("sim") or Simulation()
    log = []
    for make in generators:
        sim.start(make(sim, log))
    sim.run(kwargs.get("until"))
    return log


def layer_requests():
    return [r for r in gc.get_objects() if isinstance(r, ext.Request)]


class OrderTest(unittest.TestCase):
    def test_simultaneous_events_run_in_scheduling_order(self):
        def starter(sim, log):
            for name in "abc":
                sim.start(worker(name), name=name)
            log.append((sim.now, "starter"))
            yield hold(1.0)
            log.append((sim.now, "starter"))

        def worker(name):
            for _ in range(2):
                log.append((sim.now, name))
                yield hold(1.0 if name != "b" else 0.5)
                yield hold(0.5 if name == "b" else 0.0)

        sim, log = Simulation(), []
        sim.start(starter(sim, log))
        sim.run()
        # The starter goes on to its yield before anything it started runs;
        # at time 1 the starter's hold was scheduled first, b's second hold
        # (from 0.5) next, then a's and c's holds of zero.
        self.assertEqual(log, [(0.0, "starter"), (0.0, "a"), (0.0, "b"), (0.0, "c"), (1.0, "starter"),
                               (1.0, "b"), (1.0, "a"), (1.0, "c")])


class HoldTest(unittest.TestCase):
    def test_numbers_and_bad_delays(self):
        def proc(sim, log):
            yield hold(2)
            yield 1.5
            yield 1
            log.append(sim.now)
            for bad, kind in ((-1.0, ArgumentError), (float("nan"), ArgumentError), (-3, ArgumentError),
                              ("1", CommandError), (None, CommandError), (True, CommandError)):
                try:
                    yield bad
                except kind as error:
                    self.assertIn("process 'proc'", str(error))
                    self.assertIs(error.process, sim.active)
                    log.append(kind.__name__)
            yield hold(0.5)
            log.append(sim.now)
        self.assertEqual(run(proc), [4.5] + ["ArgumentError"] * 3 + ["CommandError"] * 3 + [5.0])
        with self.assertRaises(CommandError):
            hold("2")

    def test_interrupt_gives_the_time_left(self):
        def sleeper(sim, log):
            log.append((yield hold(10.0)))
            left = yield hold(1.0)
            log.append((sim.now, left))

        def other(sim, log):
            yield hold(4.0)
            target.interrupt()
            with self.assertRaises(StateError):
                target.interrupt()  # it is scheduled now, no longer holding
            log.append("interrupted")

        sim, log = Simulation(), []
        target = sim.start(sleeper(sim, log))
        sim.start(other(sim, log))
        sim.run()
        self.assertEqual(log, ["interrupted", 6.0, (5.0, None)])

    def test_run_until_and_resume(self):
        def ticker(sim, log):
            while True:
                log.append(sim.now)
                yield hold(1.0)
        sim = Simulation()
        log = run(ticker, sim=sim, until=2.5)
        self.assertEqual((log, sim.now, sim.peek()), ([0.0, 1.0, 2.0], 2.5, 3.0))
        sim.run(4.0)
        self.assertEqual(log, [0.0, 1.0, 2.0, 3.0, 4.0])
        with self.assertRaises(ArgumentError):
            sim.run(3.0)
        sim.close()
        with self.assertRaises(StateError):
            sim.run()


class PassivateWaitTest(unittest.TestCase):
    def test_passivate_reactivate_and_join(self):
        def sleeper():
            value = yield passivate()
            log.append((sim.now, value))
            yield hold(1.0)
        sim, log = Simulation(), []
        sleeping = sim.start(sleeper())

        def waker():
            yield hold(2.0)
            self.assertTrue(sleeping.passive)
            sleeping.reactivate("up", delay=1.0)
            with self.assertRaises(StateError):
                sleeping.reactivate()
            joined = yield wait(sleeping)
            log.append((sim.now, "joined", joined))
            log.append((sim.now, "again", (yield wait(sleeping))))
        sim.start(waker())
        sim.run()
        self.assertEqual(log, [(3.0, "up"), (4.0, "joined", None), (4.0, "again", None)])
        self.assertTrue(sleeping.finished)

    def test_signals(self):
        sim, log = Simulation(), []
        go = Signal(sim, "go")

        def waiter(name):
            value = yield wait(go)
            log.append((sim.now, name, value))

        def setter():
            yield hold(1.0)
            go.set("x")
            yield hold(1.0)
            go.reset()
            sim.start(waiter("late"))
            yield hold(1.0)
            go.set("y")
        for name in ("a", "b"):
            sim.start(waiter(name))
        sim.start(setter())
        sim.run()
        self.assertEqual(log, [(1.0, "a", "x"), (1.0, "b", "x"), (3.0, "late", "y")])
        with self.assertRaises(CommandError):
            wait(5)

    def test_waits_for_oneself_or_another_simulation_are_refused(self):
        other = Simulation()
        foreign = Signal(other)

        def proc(sim, log):
            for target in (sim.active, foreign):
                try:
                    yield wait(target)
                except StateError as error:
                    log.append(str(error))
        log = run(proc)
        self.assertEqual(len(log), 2)
        self.assertTrue(all(message.startswith("process 'proc'") for message in log))


class FacilityTest(unittest.TestCase):
    def served(self, line, capacity=1, priorities=None):
        sim, order = Simulation(), []
        f = Facility(sim, capacity=capacity, line=line)

        def customer(i):
            yield hold(0.1 * i)
            yield f.seize(priority=priorities[i] if priorities else 0.0)
            order.append(i)
            yield hold(1.0)
            f.release()
        for i in range(5):
            sim.start(customer(i))
        sim.run()
        return order, f

    def test_lines_decide_the_order(self):
        self.assertEqual(self.served(None)[0], [0, 1, 2, 3, 4])
        self.assertEqual(self.served(ext.RequestListStack())[0], [0, 4, 3, 2, 1])
        self.assertEqual(self.served(ext.RequestBinaryHeap(), priorities=[0, 1, 2, 1, 5])[0], [0, 4, 2, 1, 3])
        order, f = self.served(ext.RequestDEQFIFO(), capacity=2)
        self.assertEqual(order, [0, 1, 2, 3, 4])
        self.assertEqual((f.served, f.busy.max, f.length.max), (5, 2, 3))

    def test_monitors_follow_the_line_and_the_servers(self):
        _, f = self.served(None)
        # Waits: 0, 0.9, 1.8, 2.7, 3.6; busy from 0 to 5.
        self.assertAlmostEqual(f.wait.mean(), 1.8)
        self.assertAlmostEqual(f.wait.max, 3.6)
        self.assertAlmostEqual(f.busy.mean(), 1.0)
        self.assertAlmostEqual(f.length.mean(), 9.0 / 5.0)
        self.assertEqual(f.length.value, 0)

    def test_entries_record_the_join_time_in_the_chain(self):
        sim = Simulation()
        f = Facility(sim, name="clerk")

        def customer(sim, log):
            for _ in range(50):
                yield hold(1.0)
                yield f.seize()
                me = sim.active
                me.mark("served")
                log.append((me.time("clerk"), me.time("served"), me["clerk"] is me))
                yield hold(0.5)
                f.release()
            log.append(len(me.names()))
        log = run(customer, customer, sim=sim)
        self.assertEqual(log[:2], [(1.0, 1.0, True), (1.0, 1.5, True)])
        # Repeated seizes keep one record per name: the process, clerk, served.
        self.assertEqual([n for n in log if n == 3], [3, 3])

    def test_release_rules(self):
        sim = Simulation()
        f = Facility(sim, capacity=2)

        def holder(sim, log):
            yield f.seize()
            yield f.seize()
            yield hold(1.0)
            f.release()
            f.release()
            try:
                f.release()
            except StateError as error:
                log.append(str(error))
        log = run(holder, sim=sim)
        self.assertEqual(log, ["process 'holder' releases facility 'facility', which it does not hold"])
        with self.assertRaises(StateError):
            f.release()

    def test_facility_arguments(self):
        sim = Simulation()
        for kwargs in ({"capacity": 0}, {"capacity": 1.5}, {"limit": -1}, {"preemptive": True}):
            with self.assertRaises(ArgumentError):
                Facility(sim, **kwargs)
        with self.assertRaises(CommandError):
            Facility(sim, line=[])
        full = ext.RequestListFIFO()
        full.push(ext.LinkedRequest())
        with self.assertRaises(ArgumentError):
            Facility(sim, line=full)
        with self.assertRaises(ArgumentError):
            Facility(sim).seize(patience=-1)


class RenegeBalkTest(unittest.TestCase):
    def test_renege_and_balk_bookkeeping(self):
        sim = Simulation()
        f = Facility(sim, name="clerk", limit=2)
        log = []

        def customer(name, arrive, patience, work):
            yield hold(arrive)
            got = yield f.seize(patience=patience)
            log.append((sim.now, name, got))
            if got:
                yield hold(work)
                f.release()
        for args in (("a", 0, None, 5), ("b", 1, 2, 1), ("c", 1, 10, 1), ("d", 1.5, 1, 1), ("e", 4, None, 1)):
            sim.start(customer(*args))
        sim.start(self.watch(sim, f, log))
        sim.run()
        # d balks (b and c fill the line), b reneges at 3 and leaves the
        # event list; c is served at 5 and its timer (due at 11) is gone.
        self.assertEqual(log, [(0.0, "a", True), (1.5, "d", False), (3.0, "b", False), (5.0, "c", True),
                               (5.5, "events", 1), (6.0, "e", True)])
        self.assertEqual((f.balked, f.reneged, f.served), (1, 1, 3))
        # In line: b 1-3, c 1-5, e 4-6.
        self.assertAlmostEqual(f.length.mean(), (2.0 + 4.0 + 2.0) / 7.0)
        self.assertEqual(sim.now, 7.0)

    def watch(self, sim, f, log):
        yield hold(5.5)
        log.append((sim.now, "events", sim.pending))


class PreemptTest(unittest.TestCase):
    def test_preempted_hold_resumes_with_its_remaining_time(self):
        sim, log = Simulation(), []
        f = Facility(sim, capacity=2, line=ext.RequestBinaryHeap(), preemptive=True, name="cpu")

        def job(name, priority, arrive, work):
            yield hold(arrive)
            yield f.seize(priority=priority)
            log.append((sim.now, name))
            yield hold(work)
            f.release()
            log.append((sim.now, name + " done"))
        for args in (("low", 0, 0, 10), ("mid", 1, 0, 4), ("high", 2, 2, 3), ("top", 3, 3, 1)):
            sim.start(job(*args))
        sim.run()
        # high takes low's server at 2, top takes mid's at 3 (mid had 1
        # left): mid goes on at 4 and ends at 5, low goes on at 5 with 8
        # left. A preempted process does not notice, its hold just lasts.
        self.assertEqual(log, [(0.0, "low"), (0.0, "mid"), (2.0, "high"), (3.0, "top"), (4.0, "top done"),
                               (5.0, "high done"), (5.0, "mid done"), (13.0, "low done")])
        self.assertEqual(f.preempted, 2)
        sim2 = Simulation()
        g = Facility(sim2, line=ext.RequestBinaryHeap(), preemptive=True)
        waiting = []

        def stuck():
            yield g.seize(priority=-5)
            yield passivate()

        def urgent():
            yield hold(1.0)
            yield g.seize(priority=9)
            waiting.append(sim2.now)
        sim2.start(stuck())
        sim2.start(urgent())
        sim2.run()
        self.assertEqual((waiting, g.preempted, len(g.line)), ([], 0, 1))

    def test_a_server_just_handed_on_or_ending_now(self):
        def scenario(launch_later):
            sim, log = Simulation(), []
            f = Facility(sim, line=ext.RequestBinaryHeap(), preemptive=True)

            def customer(name, priority, service):
                yield f.seize(priority)
                log.append((sim.now, name))
                yield service
                f.release()

            def launcher():
                sim.start(customer("high", 5, 1.0), delay=1.0)
                yield 0.0
            if not launch_later:
                sim.start(customer("high", 5, 1.0), delay=1.0)
            sim.start(customer("low1", 0, 1.0))
            sim.start(customer("low2", 0, 10.0))
            if launch_later:
                sim.start(launcher())
            sim.run()
            return log, f.preempted
        # high arrives at 1 before low1's hold, ending then, is over: low1
        # has nothing left and keeps its server; it passes to high.
        self.assertEqual(scenario(False), ([(0.0, "low1"), (1.0, "high"), (2.0, "low2")], 0))
        # high arrives at 1 just after low1 handed its server to low2, which
        # has not begun: high takes it and low2 waits again.
        self.assertEqual(scenario(True), ([(0.0, "low1"), (1.0, "high"), (2.0, "low2")], 1))


class ErrorTest(unittest.TestCase):
    def test_process_errors_name_the_process_and_leave_the_rest_running(self):
        sim, log = Simulation(), []

        def fails():
            yield hold(1.0)
            raise KeyError("boom")

        def waits_for(target):
            try:
                yield wait(target)
            except ProcessError as error:
                log.append(("told", error.process is target))

        def ticker():
            for _ in range(3):
                yield hold(1.0)
                log.append(sim.now)
        failing = sim.start(fails(), name="fragile")
        sim.start(waits_for(failing))
        sim.start(ticker())
        with self.assertRaises(ProcessError) as cm:
            sim.run()
        self.assertEqual(str(cm.exception), "process 'fragile' raised KeyError: 'boom'")
        self.assertIsInstance(cm.exception.exception, KeyError)
        self.assertTrue(failing.finished)
        sim.run()
        self.assertEqual(log, [1.0, ("told", True), 2.0, 3.0])

    def test_misuse(self):
        def proc(sim, log):
            yield hold(1.0)
            for attempt in (sim.run, lambda: Facility(sim, capacity=0), lambda: sim.start(5),
                            lambda: sim.start(proc(sim, log), delay=-1), lambda: sim.start(proc(sim, log), delay="x")):
                try:
                    attempt()
                except SimulationError as error:
                    log.append(str(error).split(":")[0])
            yield "not a command"
        sim, log = Simulation(), []
        sim.start(proc(sim, log))
        with self.assertRaises(CommandError) as cm:
            sim.run()
        self.assertEqual(log, ["process 'proc'"] * 5)
        self.assertEqual(str(cm.exception), "process 'proc' yielded 'not a command', which is not a command")

    def test_uncaught_misuse_propagates_unwrapped(self):
        def proc(sim, log):
            yield hold(-1.0)
        with self.assertRaises(ArgumentError) as cm:
            run(proc)
        self.assertEqual(str(cm.exception), "process 'proc': hold() delay must not be negative, got -1.0")


class NothingLeftTest(unittest.TestCase):
    def test_every_request_leaves_every_container(self):
        gc.collect()
        before = set(map(id, layer_requests()))
        sim = Simulation()
        heap = Facility(sim, capacity=1, line=ext.RequestBinaryHeap(), preemptive=True)
        clerk = Facility(sim, capacity=1, limit=3)
        go = Signal(sim)

        def customer(i):
            yield hold(i % 4)
            if i % 3 == 0:
                yield heap.seize(priority=i % 5)
                yield hold(2.0)
                heap.release()
            got = yield clerk.seize(patience=1.5 if i % 2 else None)
            if got:
                yield hold(3.0)
                if i % 5 == 0:
                    yield passivate()  # never reactivated, still holding
                clerk.release()
            yield wait(go)

        def joiner(target):
            yield wait(target)
        first = sim.start(customer(0))
        for i in range(1, 30):
            sim.start(customer(i))
        sim.start(joiner(first))
        sim.run(until=20.0)
        self.assertTrue(any(r.queue is not None for r in layer_requests()))
        sim.close()
        left = [r for r in layer_requests() if id(r) not in before and r.queue is not None]
        self.assertEqual(left, [])
        self.assertTrue(first.finished)


if __name__ == "__main__":
    unittest.main()
