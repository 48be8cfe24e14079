# Faults of the simulation layer that tools/layerfuzz.py found: each
# reproducer runs in a child interpreter, so that a crash fails its test
# instead of the suite.
import unittest

from tests.support import run_child

PRELUDE = r'''
import gc
from vorm import (ArgumentError, Facility, Interrupt, Level, ProcessError, Signal, Simulation, SimulationError,
                  StateError, Tally, all_of, first, hold, passivate, wait)
from vorm import ext
'''


class LayerReentrancyTest(unittest.TestCase):
    def run_scenario(self, code):
        status, out = run_child(PRELUDE + code, stderr=True)
        self.assertEqual((status, "done" in out.splitlines()), (0, True), out[-3000:])

    def test_a_hold_branch_of_first_and_all_of(self):
        """The timer of a hold branch was made through the timer type's own
        constructor, which the module takes away: a null call."""
        self.run_scenario(r'''
sim, log = Simulation(), []

def proc():
    log.append((yield first(hold(2.0, "late"), hold(1.0, "soon"))))
    log.append((yield all_of(hold(1.0, "a"), 0.5)))
    log.append(sim.now)
sim.start(proc())
sim.run()
assert log == [(1, "soon"), ["a", None], 2.0], log
print("done")
''')

    def test_a_run_until_a_process_or_signal_that_ends_by_an_error(self):
        """The stopper of run(until=x) was withdrawn by a call made with the
        run's error still set (a SystemError on Python 3)."""
        self.run_scenario(r'''
for kind in ("process", "signal"):
    sim = Simulation()
    go = Signal(sim)

    def sleeper():
        yield hold(5.0)
        go.set()

    def failing():
        yield hold(1.0)
        raise KeyError("x")
    target = sim.start(sleeper())
    sim.start(failing())
    try:
        sim.run(until=target if kind == "process" else go)
    except ProcessError as error:
        assert isinstance(error.exception, KeyError), error
    else:
        raise AssertionError("no error")
    assert len(target._joiners()) == len(go.waiters) == 0  # the stopper is gone
    sim.run()
    assert sim.now == 5.0 and target.finished
print("done")
''')

    def test_a_trace_that_lets_go_of_the_facility_being_seized(self):
        """A facility's own plain seize does not own it: a trace that let
        go of the last other reference freed it in the middle of the seize."""
        self.run_scenario(r'''
sim, log = Simulation(), []
desks = [Facility(sim, name="desk")]
seize = desks[0].seize()

def trace(now, process, what, value):
    if what == "seize":
        del desks[:]
sim.trace = trace

def proc():
    log.append((yield seize))
    log.append(sim.active.releaseAllFacilities())
sim.start(proc())
sim.run()
assert log == [True, 1], log
print("done")
''')

    def test_a_finally_that_raises_in_close(self):
        """close() stopped at the first generator whose finally raised: the
        processes after it were never closed, and a second close() did
        nothing."""
        self.run_scenario(r'''
sim, closed = Simulation(), []

def stubborn():
    try:
        yield passivate()
    finally:
        closed.append("stubborn")
        raise KeyError("finally")

def quiet(i):
    try:
        yield passivate() if i == 0 else hold(10.0)
    finally:
        closed.append(i)
sim.start(stubborn())
for i in range(3):
    sim.start(quiet(i))
sim.run(1.0)
try:
    sim.close()
except KeyError:
    pass
else:
    raise AssertionError("close() did not raise")
assert closed == ["stubborn", 0, 1, 2] and sim.alive == 0 and sim.pending == 0, (closed, sim.alive, sim.pending)
print("done")
''')


if __name__ == "__main__":
    unittest.main()
