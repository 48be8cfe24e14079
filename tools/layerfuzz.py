"""Re-entrancy fuzzer for the simulation layer (vorm._kernel and the Python
around it).

Random models use every command and facility option: holds with and without
a value, numbers yielded directly (and bad ones), seizes with priorities and
patience on every kind of line (Python subclasses included), capacities,
limits and preemption, releases, waits for processes and signals, signals set,
reset and failed, passivation, interrupts, first() and all_of() of any of
these, runs up to a time, a process or a signal, stops, closes, capacities
and limits changed while running, resets, marks and records, the trace hook,
monitors whose add or set run code, and mistakes of every kind. Code runs in
the middle of the layer's operations and calls back into it at random:
finalisers of what hangs on requests and values, weakref callbacks, name
comparisons, conversions of delays, priorities, patience and capacities,
generator finally blocks, the trace hook, monitor and line subclasses, the
collector at a tiny threshold. Between top-level steps the layer's promises
are checked.

  python tools/layerfuzz.py [--seconds S] [--steps N] [--seed N] [--timeout S]
      runs sequences for S seconds, each in a child process, so that a crash
      or a hang is reported with its seed; ends with "RESULT clean failed 0"
  python tools/layerfuzz.py --child SEED [--steps N]
      runs one sequence in this process, to reproduce a reported seed
      (with the PYTHONHASHSEED that the report gives)
"""
from __future__ import print_function

import gc
import numbers
import optparse
import os
import random
import subprocess
import sys
import tempfile
import time
import traceback
import weakref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.append(ROOT)  # after PYTHONPATH, where a sanitized build may come first
from vorm import (Facility, Interrupt, Level, ProcessError, Seize, Signal, Simulation,  # noqa: E402
                  SimulationError, Tally, all_of, first, hold, passivate, wait)
from vorm import _kernel, ext  # noqa: E402

try:
    from io import StringIO
    StringIO().write(str("x"))  # Python 2's io.StringIO takes unicode only
except TypeError:
    from StringIO import StringIO

PY3 = sys.version_info[0] >= 3
LINES = (ext.RequestListFIFO, ext.RequestListStack, ext.RequestArray, ext.RequestArrayStack, ext.RequestDEQFIFO,
         ext.RequestBinaryHeap, ext.TimeRequestBinaryHeap)
HEAPS = (ext.RequestBinaryHeap,)  # a preemptive facility's line


class Boom(Exception):
    """Raised on purpose by a hook or a process."""


# What the layer may raise at a hostile model; anything else from its own
# code is a fault. Interrupt and Boom also reach run() through a signal's
# fail().
EXPECTED = (SimulationError, ValueError, TypeError, RuntimeError, IndexError, Interrupt, Boom)

LOG = os.environ.get("LAYERFUZZ_LOG") == "1"

# The hooks reach the world through this global, so that they are in no
# cycle with it.
WORLD = None


def reenter(where):
    """Runs a random layer operation from inside the layer, now and then."""
    world = WORLD
    if world is None or not world.hooks or world.depth >= 3 or world.budget <= 0 or world.rng.random() < 0.4:
        return
    world.depth += 1
    world.budget -= 1
    try:
        world.act("hook")
    except EXPECTED:
        pass
    except Exception:
        world.problem("unexpected exception from a layer operation run by %s:\n%s" % (where, traceback.format_exc()))
    finally:
        world.depth -= 1


def raising(chance):
    """Whether a hook raises now: only in sequences that allow it."""
    world = WORLD
    return world is not None and world.hooks and world.raising and world.rng.random() < chance


def disturb(where):
    """A hook raised out of the middle of an update of the layer (a monitor,
    the trace, a line): the monitors and the line may lag behind from now on,
    so only the rules that no error may break are checked for the models."""
    world = WORLD
    if world is not None:
        for model in world.models:
            model.disturbed = model.disturbed or where


class Name(object):
    """A facility, signal, process or mark name whose comparisons run code."""

    def __init__(self, label):
        self.label = label

    def __eq__(self, other):
        reenter("name comparison")
        if raising(0.02):
            raise Boom("name comparison")
        if isinstance(other, Name):
            return other.label == self.label
        return other == self.label

    def __ne__(self, other):
        return not self.__eq__(other)

    def __cmp__(self, other):  # Python 2's three-way comparison
        return 0 if self.__eq__(other) else 1

    def __hash__(self):
        return hash(self.label)

    def __repr__(self):
        reenter("repr of a name")
        return "Name(%r)" % (self.label,)

    def __del__(self):
        reenter("finaliser of a name")


class Addable(Name):
    """A name that a facility can name its monitors after."""

    def __add__(self, suffix):
        reenter("name + suffix")
        return Name(self.label + suffix)


class Value(object):
    """Something hung on a request, a hold, a signal, an interrupt."""

    def __init__(self, label=None):
        self.label = label

    def __repr__(self):
        return "Value(%r)" % (self.label,)

    def __del__(self):
        reenter("finaliser of a value")


class Number(object):
    """A real number whose conversion runs code."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        reenter("__float__")
        if raising(0.03):
            raise Boom("__float__")
        return float(self.value)

    def __index__(self):
        reenter("__index__")
        if raising(0.03):
            raise Boom("__index__")
        return int(self.value)

    __int__ = __index__

    def __repr__(self):
        return "Number(%r)" % (self.value,)

    def __del__(self):
        reenter("finaliser of a number")


class Count(Number):
    """An integral number (a capacity, a limit) whose __index__ runs code."""


numbers.Real.register(Number)
numbers.Integral.register(Count)


class Int(int):
    """An int whose float() runs code."""

    def __float__(self):
        reenter("int.__float__")
        return float(int(self))


def tracer(now, process, what, value):
    world = WORLD
    if world is not None:
        world.traced += 1
    reenter("the trace hook (%s)" % what)
    if raising(0.01):
        disturb("the trace hook raised")
        raise Boom("trace")


class HookedTally(Tally):
    def add(self, x):
        reenter("Tally.add")
        if raising(0.02):
            disturb("Tally.add raised")
            raise Boom("Tally.add")
        Tally.add(self, x)


class HookedLevel(Level):
    def set(self, value):
        reenter("Level.set")
        if raising(0.02):
            disturb("Level.set raised")
            raise Boom("Level.set")
        Level.set(self, value)


class Desk(Facility):
    """A facility subclass that watches itself with hooked monitors."""

    def __init__(self, sim, **options):
        Facility.__init__(self, sim, **options)
        self.wait = HookedTally("desk wait", sim)
        self.length = HookedLevel(sim, "desk line")
        self.busy = HookedLevel(sim, "desk busy")


class Tracked(Simulation):
    """A simulation subclass with a dict of its own."""

    def __init__(self):
        Simulation.__init__(self)
        self.label = "tracked"


def hooked_line(base):
    """A line whose methods run code and, in raising sequences, now and then
    refuse (before or after doing their work); a refusal marks the line."""
    class Line(base):
        def refuse(self, where):
            if raising(0.015):
                self.disturbed = True
                raise Boom(where)

        def push(self, request):
            reenter("line push")
            self.refuse("line push")
            base.push(self, request)
            self.refuse("line push, done")

        def pop(self):
            reenter("line pop")
            self.refuse("line pop")
            return base.pop(self)

        def delete(self, request):
            reenter("line delete")
            self.refuse("line delete")
            return base.delete(self, request)

        def clear(self):
            reenter("line clear")
            return base.clear(self)

        def create(self, *args, **keywords):
            reenter("line create")
            return base.create(self, *args, **keywords)

        def __del__(self):
            reenter("finaliser of a line")
    Line.__name__ = "Hooked" + base.__name__
    return Line


HOOKED_LINES = tuple(hooked_line(kind) for kind in LINES)


class Driver(object):
    """A process that is not a generator: send and throw run code, and so
    does reading its __name__."""

    def __init__(self, generator):
        self.generator = generator

    def send(self, value):
        reenter("Driver.send")
        return self.generator.send(value)

    def throw(self, *args):
        reenter("Driver.throw")
        return self.generator.throw(*args)

    def close(self):
        reenter("Driver.close")
        return self.generator.close()

    def label(self):
        reenter("Driver.__name__")
        return "driver"
    __name__ = property(label)


class Nameless(Driver):
    """A process whose name cannot be read: start() names it by its type."""

    def label(self):
        reenter("Nameless.__name__")
        raise AttributeError("no name")
    __name__ = property(label)


class Clock(object):
    """What a monitor may keep instead of a simulation: anything with a now,
    here one whose reading runs code."""

    def __init__(self, sim):
        self.sim = sim

    @property
    def now(self):
        reenter("Clock.now")
        return self.sim.now


class MisCreating(ext.RequestListFIFO):
    """A line whose create() makes a request that no line of it can hold: a
    seize on its facility is refused."""

    def create(self, *args, **keywords):
        return ext.Request()


if PY3:  # a process that returns a value; Python 2 has no return in generators
    exec("def returning(inner, value):\n    yield from inner\n    return value\n")
else:
    returning = None


class Life(object):
    """What the fuzzer knows of one started generator."""

    __slots__ = ("model", "process", "ref", "made", "entered", "exited", "by_hand", "command", "label",
                 "__weakref__")

    def __init__(self, model, label):
        self.model, self.label = model, label
        self.process = self.ref = self.command = None
        self.made = self.entered = self.exited = self.by_hand = False


class FacilityRecord(object):
    __slots__ = ("facility", "bound", "replaced")

    def __init__(self, facility):
        self.facility, self.bound, self.replaced = facility, facility.capacity, False


class Model(object):
    """One simulation and what the fuzzer made in it."""

    def __init__(self, world, number):
        self.number = number
        self.sim = Tracked() if world.rng.random() < 0.2 else Simulation()
        self.facilities, self.signals, self.lives = [], [], []
        self.started = 0
        self.disturbed = False  # or why the monitors may lag
        self.dropped = False  # let go of without close(): the collector ends it
        self.meddled = False


def generator_gone(life_ref):
    """A weakref callback on a generator: an unfinished process of a live,
    open simulation must never be freed."""
    def gone(ref):
        life = life_ref()
        world = WORLD
        model = life.model if life is not None else None
        if model is not None and world is not None and life.made and not life.exited and not life.by_hand and \
                not model.dropped and not model.sim.closed:
            world.problem("the generator of unfinished process %s was freed" % life.label)
        reenter("weakref callback of a generator")
    return gone


def callback(ref):
    reenter("weakref callback")


def body(world, model, life, commands):
    """A process: random commands, random operations between them."""
    closing = False
    life.entered = life.made = True
    try:
        for _ in range(commands):
            if world.rng.random() < 0.35:
                world.between(model, life)
            command = world.command(model, life, False)
            life.command = command
            try:
                yield command
            except EXPECTED:
                pass
            except Exception:
                world.problem("process %s got an unexpected exception at its yield:\n%s" % (
                    life.label, traceback.format_exc()))
            life.command = None
        if world.rng.random() < 0.04:
            raise Boom("a process fails")
    except GeneratorExit:
        closing = True
        life.command = None
        if not (model.sim.closed or model.dropped or life.by_hand):
            world.problem("the generator of unfinished process %s was closed outside close()" % life.label)
        raise
    finally:
        life.exited = True
        reenter("a generator's finally")
        if raising(0.03) and not closing:
            raise Boom("finally")


class World(object):
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.hooks = False
        self.raising = self.rng.random() < 0.5
        self.tamper = self.rng.random() < 0.25
        self.depth = self.budget = self.ops = self.traced = self.steps = 0
        self.problems = []
        self.models = []
        self.all_lives = []  # for the check after the sequence
        self.refs = []
        self.numbered = 0
        self.model = self.new_model()
        self.other = None
        # (operation, weight at the top, inside a process, from a hook)
        table = (("start", 7, 3, 2), ("run", 14, 1, 2), ("release", 3, 6, 4), ("release_all", 1, 2, 2),
                 ("signal", 3, 4, 3), ("interrupt", 3, 4, 4), ("reactivate", 3, 3, 3), ("stop", 1, 2, 2),
                 ("mark", 1, 2, 2), ("capacity", 2, 2, 3), ("limit", 1, 1, 2), ("reset", 1, 1, 1),
                 ("trace", 1, 1, 1), ("monitor", 1, 1, 1), ("facility", 2, 1, 1), ("signal_new", 1, 1, 1),
                 ("close", 0.5, 0.5, 0.5), ("collect", 1, 1, 1), ("query", 1, 2, 2), ("drop", 2, 1, 2),
                 ("meddle", 1 if self.tamper else 0, 0.5 if self.tamper else 0, 1 if self.tamper else 0),
                 ("other", 1, 0.5, 0.5), ("measure", 1, 1.5, 1.5))
        self.operations = dict((context, [(entry[column], getattr(self, "op_" + entry[0])) for entry in table])
                               for column, context in ((1, "top"), (2, "process"), (3, "hook")))
        self.totals = dict((context, sum(weight for weight, _ in operations))
                           for context, operations in self.operations.items())

    def problem(self, text):
        self.problems.append(text)

    # -- models -------------------------------------------------------------

    def new_model(self):
        self.numbered += 1
        model = Model(self, self.numbered)
        self.models.append(model)
        if self.rng.random() < 0.3:
            self.keep(weakref.ref(model.sim, callback))
        for _ in range(self.rng.randint(1, 4)):
            try:
                self.new_facility(model, mistakes=False)
            except EXPECTED:  # a conversion that raised
                pass
        for _ in range(self.rng.randint(0, 3)):
            model.signals.append(Signal(model.sim, self.name()))
        if self.rng.random() < 0.3:
            model.sim.trace = tracer
        return model

    def keep(self, ref):
        if len(self.refs) > 30:
            del self.refs[self.rng.randrange(len(self.refs))]
        self.refs.append(ref)

    def new_facility(self, model, mistakes=True):
        rng = self.rng
        kind = rng.choice(LINES + HOOKED_LINES)
        line = kind() if rng.random() < 0.95 else None
        heap = isinstance(line, HEAPS)
        options = dict(capacity=rng.choice((1, 1, 2, 3, Count(2))), line=line,
                       limit=rng.choice((None, None, None, 0, 1, 3, Count(2))),
                       preemptive=heap and rng.random() < 0.5, series=rng.random() < 0.2)
        name = rng.choice(("clerk", "desk", Addable("f"), Addable("g")))
        if mistakes and rng.random() < 0.15:  # a mistake: each is refused
            choice = rng.randrange(7)
            if choice == 6:
                options["line"] = MisCreating()
            elif choice == 5:
                options["capacity"] = rng.choice((0, "2", 1.5, None))
            elif choice == 0:
                options["preemptive"] = True
                options["line"] = ext.RequestListFIFO()
            elif choice == 1:
                options["line"].push(ext.LinkedRequest()) if line is not None else None
            elif choice == 2:
                name = Name("no monitors")  # it cannot name its monitors
            elif choice == 3:
                options["limit"] = -1
            else:
                options["line"] = [] if rng.random() < 0.5 else Value()
        make = Desk if rng.random() < 0.15 else Facility
        made = make(model.sim, name=name, **options)
        record = FacilityRecord(made)
        record.replaced = make is Desk
        model.facilities.append(record)
        if rng.random() < 0.2:
            self.keep(weakref.ref(made, callback))
        return made

    # -- picking ------------------------------------------------------------

    def name(self):
        choice = self.rng.randrange(6)
        if choice < 3:
            return "n%d" % self.rng.randrange(3)
        if choice < 5:
            return Name("n%d" % self.rng.randrange(3))
        return self.rng.choice((None, Value("name"), 42))

    def value(self):
        return Value("v") if self.rng.random() < 0.6 else self.rng.choice((None, 1, "x", (1, 2)))

    def delay(self, good=0.97):
        rng = self.rng
        if rng.random() < good:
            choice = rng.randrange(10)
            if choice < 4:
                return rng.expovariate(1.0)
            if choice < 6:
                return rng.choice((0.0, 0, 1, 2, 0.5))
            if choice == 6:
                return Number(rng.random() * 2)
            if choice == 7:
                return Int(rng.randrange(3))
            if choice == 8:
                return rng.random() * 0.1
            return float(rng.randrange(3))
        return rng.choice((-1.0, -2, float("nan"), 10 ** 400, -10 ** 400, True, "1", None, Value(),
                           float("inf"), Number(-1.0), Number(float("nan"))))

    def priority(self):
        rng = self.rng
        choice = rng.randrange(12)
        if choice < 6:
            return rng.randrange(-2, 4)
        if choice < 8:
            return rng.uniform(-3, 3)
        if choice < 10:
            return Number(rng.randrange(4))
        if choice == 10:
            return Int(rng.randrange(3))
        return rng.choice((float("nan"), 10 ** 400, "x", None, True, Value()))

    def patience(self):
        rng = self.rng
        if rng.random() < 0.6:
            return None
        if rng.random() < 0.9:
            return rng.choice((rng.random() * 2, rng.expovariate(1.0), 0.0, Number(rng.random())))
        return rng.choice((-1.0, float("nan"), "x", 10 ** 400))

    def count(self, least):
        rng = self.rng
        if rng.random() < 0.9:
            return rng.choice((least, least + 1, least + 2, 3, Count(least + rng.randrange(3)), 2 ** 70))
        return rng.choice((least - 1, "2", 1.5, True, None, Number(2.0)))

    def pick(self, pool):
        return pool[self.rng.randrange(len(pool))] if pool else None

    def facility(self, model=None):
        model = model or self.model
        if self.other is not None and self.rng.random() < 0.03:
            model = self.other
        record = self.pick(model.facilities)
        return record.facility if record is not None else self.new_facility(model)

    def signal(self, model=None):
        model = model or self.model
        if self.other is not None and self.rng.random() < 0.03:
            model = self.other
        found = self.pick(model.signals)
        if found is None:
            found = Signal(model.sim, self.name())
            model.signals.append(found)
        return found

    def process(self, model=None):
        model = model or self.model
        if self.other is not None and self.rng.random() < 0.03:
            model = self.other
        running = model.sim.active
        if running is not None and self.rng.random() < 0.15:
            return running
        lives = [life for life in model.lives if life.process is not None]
        life = self.pick(lives)
        return life.process if life is not None else None

    # -- processes ------------------------------------------------------------

    def start(self, model, context):
        if model.started >= 45 and self.rng.random() < 0.9:
            return None
        model.started += 1
        life = Life(model, "%d.%d" % (model.number, model.started))
        commands = self.rng.randint(1, 14)
        generator = body(self, model, life, commands)
        life.ref = weakref.ref(generator, generator_gone(weakref.ref(life)))
        self.all_lives.append(life)
        made = generator
        choice = self.rng.random()
        if choice < 0.1:
            made = Driver(generator) if choice < 0.08 else Nameless(generator)
        elif choice < 0.2 and returning is not None:
            made = returning(generator, self.value())
        del generator
        options = {}
        if self.rng.random() < 0.4:
            options["name"] = self.name()
        if self.rng.random() < 0.4:
            options["delay"] = self.delay(0.9)
        model.lives.append(life)
        sim = model.sim
        try:
            life.process = sim.start(made, **options)
            life.made = True
        except EXPECTED:
            # Made and scheduled before the error (a trace that raised)?
            # Then a process of the simulation runs it (rare: asking the
            # collector who refers to it is affordable).
            made_by = [p for p in gc.get_referrers(made) if isinstance(p, _kernel.Process) and p.sim is sim]
            if made_by:
                life.process, life.made = made_by[0], True
            else:
                model.lives.remove(life)
            raise
        return life.process

    def command(self, model, life, branch):
        """Something for a process to yield: every command, and mistakes."""
        rng = self.rng
        choice = rng.random()
        try:
            if choice < 0.2:
                if rng.random() < 0.5:
                    return hold(self.delay())
                return hold(self.delay(), self.value())
            if choice < 0.3:
                return self.delay()
            if choice < 0.56:
                f = self.facility(model)
                if rng.random() < 0.3:
                    return f.seize()
                if rng.random() < 0.1:  # the command made directly
                    return Seize(f, self.priority(), self.patience())
                options = {}
                if rng.random() < 0.7:
                    options["priority"] = self.priority()
                if rng.random() < 0.6:
                    options["patience"] = self.patience()
                return f.seize(**options)
            if choice < 0.64:
                target = self.process(model)
                if (target is None or rng.random() < 0.05) and life is not None:
                    target = life.process  # a mistake
                return wait(target) if target is not None else 0.0
            if choice < 0.72:
                return wait(self.signal(model))
            if choice < 0.77:
                return passivate()
            if choice < 0.9:
                if branch and rng.random() < 0.8:
                    return hold(self.delay())
                count = rng.randint(1, 3)
                branches = tuple(self.command(model, life, True) for _ in range(count))
                return (first if rng.random() < 0.5 else all_of)(*branches)
            return rng.choice(("x", None, object(), Value(), wait, -1.0, [hold(1.0)]))
        except EXPECTED:
            return 0.0

    def between(self, model, life):
        """A process does something between two of its yields."""
        for _ in range(self.rng.randint(1, 3)):
            try:
                self.act("process")
            except EXPECTED:
                pass
            except Exception:
                self.problem("unexpected exception from a layer operation in process %s:\n%s" % (
                    life.label, traceback.format_exc()))

    # -- operations -----------------------------------------------------------

    def act(self, context):
        self.ops += 1
        choice = self.rng.uniform(0, self.totals[context])
        for weight, operation in self.operations[context]:
            choice -= weight
            if choice <= 0:
                if LOG:  # LAYERFUZZ_LOG=1: what runs, to minimise a failing seed (no repr: it runs hooks)
                    active = self.model.sim.active
                    sys.stderr.write("%s%s %s at %r%s\n" % ("  " * self.depth, context, operation.__name__,
                                                           self.model.sim.now,
                                                           "" if active is None else " in a %s process" % active.state))
                return operation(context)

    def op_start(self, context):
        if self.rng.random() < 0.05:
            self.model.sim.start(self.rng.choice((5, None, [], Value())))
        self.start(self.model, context)

    def op_run(self, context):
        sim, rng = self.model.sim, self.rng
        choice = rng.randrange(12)
        if choice < 5:
            until = sim.now + rng.expovariate(0.5)
        elif choice < 6:
            until = Number(sim.now + rng.random() * 3)
        elif choice < 8:
            until = self.process() if rng.random() < 0.97 else None
        elif choice < 10:
            until = self.signal()
        elif choice < 11:
            until = None
        else:
            until = rng.choice((sim.now - 1.0, "x", float("nan"), 10 ** 400, Value()))
        if context == "hook" and until is None:
            until = sim.now + rng.random()
        sim.run(until)

    def op_release(self, context):
        f = self.facility()
        choice = self.rng.random()
        if context == "process" and choice < 0.75:
            f.release()
        elif choice < 0.97:
            f.release(process=self.process())
        else:
            f.release(self.rng.choice((42, Value(), f)))

    def op_release_all(self, context):
        p = self.process()
        if p is not None:
            chosen = [self.facility() for _ in range(self.rng.randrange(3))]
            p.releaseAllFacilities(*chosen)

    def op_signal(self, context):
        s = self.signal()
        choice = self.rng.randrange(10)
        if choice < 5:
            s.set(self.value())
        elif choice < 8:
            s.reset()
        elif choice < 9:
            s.fail(self.rng.choice((Boom("failed signal"), Interrupt("failed signal"), ValueError("failed"))))
        else:
            s.fail("not an exception")

    def op_interrupt(self, context):
        p = self.process()
        if p is not None:
            if self.rng.random() < 0.5:
                p.interrupt()
            else:
                p.interrupt(self.value())

    def op_reactivate(self, context):
        p = self.process()
        if p is not None:
            if self.rng.random() < 0.5:
                p.reactivate(self.value())
            else:
                p.reactivate(self.value(), delay=self.delay(0.9))

    def op_stop(self, context):
        self.model.sim.stop(self.value())

    def op_mark(self, context):
        p = self.process()
        if p is None:
            return
        choice = self.rng.randrange(6)
        if choice < 2:
            p.mark(self.name(), self.value())
        elif choice == 2:
            p.record(self.rng.choice((ext.Request, ext.LinkedRequest, ext.PriorityRequest))(name=self.name(),
                                                                                             val=self.value()))
        else:
            key = self.name()
            try:
                self.rng.choice((p.time, p.__getitem__, lambda k: k in p, lambda k: p.names()))(key)
            except KeyError:  # no such name in the chain
                pass

    def op_capacity(self, context):
        record = self.pick(self.model.facilities)
        if record is not None:
            capacity = self.count(1)
            if isinstance(capacity, numbers.Integral) and not isinstance(capacity, bool):
                # Code run while the new servers are handed on may lower it
                # again: the users may number as many as it was raised to.
                wanted = capacity.value if isinstance(capacity, Count) else capacity
                record.bound = max(record.bound, min(wanted, sys.maxsize))
            record.facility.capacity = capacity

    def op_limit(self, context):
        f = self.facility()
        f.limit = None if self.rng.random() < 0.3 else self.count(0)

    def op_reset(self, context):
        self.facility().reset()

    def op_trace(self, context):
        self.model.sim.trace = self.rng.choice((tracer, tracer, None, None, 5))

    def op_monitor(self, context):
        record = self.pick(self.model.facilities)
        if record is None:
            return
        f, sim, rng = record.facility, self.model.sim, self.rng
        record.replaced = True
        which = rng.randrange(3)
        if which == 0:
            f.wait = (HookedTally if rng.random() < 0.7 else Tally)("w", sim, rng.random() < 0.2)
        else:
            made = (HookedLevel if rng.random() < 0.7 else Level)(sim, "l", rng.randrange(3), rng.random() < 0.2)
            if which == 1:
                f.length = made
            else:
                f.busy = made

    def op_measure(self, context):
        """The monitors' own interface, on a facility's monitors or on new
        ones that keep a clock of their own; and the counters set to odd
        values."""
        rng = self.rng
        f = self.facility()
        choice = rng.randrange(8)
        clock = self.model.sim if rng.random() < 0.7 else Clock(self.model.sim)
        if choice == 0:
            tally = f.wait if rng.random() < 0.5 else Tally("t", clock, rng.random() < 0.5)
            tally.add(rng.choice((rng.random(), 3, Int(2), Number(rng.random()), -1.5)))
            (tally.count, tally.total, tally.mean(), tally.variance(), tally.stdev(), tally.min, tally.max)
            tally.name = self.name()
            repr(tally)
        elif choice == 1:
            if rng.random() < 0.3:
                # Set by hand, a facility's own level no longer counts; what
                # it is set to (a Number, which ints cannot be compared
                # with) may make its next update raise, as a monitor's may.
                level = rng.choice((f.length, f.busy))
                for model in self.models:
                    for record in model.facilities:
                        record.replaced = record.replaced or record.facility is f
                disturb("a facility's own level set by hand")
            else:
                level = (HookedLevel if rng.random() < 0.5 else Level)(
                    clock, "l", rng.choice((0, 2, 2.5, 2 ** 62)), rng.random() < 0.5)
            if rng.random() < 0.5:
                level.add(rng.choice((None, 1, -1, 2 ** 62, 0.5, Int(1))))
            else:
                level.set(rng.choice((0, 1, 3, 0.5, Int(2), Number(1.0))))
            (level.value, level.min, level.max, level.mean())
            level.name = self.name()
            repr(level)
        elif choice == 2:
            monitor = rng.choice((f.wait, f.length, f.busy, Tally("t", clock, True), Level(clock, "l", 0, True)))
            monitor.write_csv(StringIO())
        elif choice == 3:
            tally = f.wait if rng.random() < 0.5 else Tally("t", clock, True)
            for _ in range(rng.randrange(4)):
                tally.add(rng.random())
            tally.histogram(rng.choice((None, 1, 3, 10)))
        elif choice == 4:
            rng.choice((f.wait, f.length, f.busy)).reset()
        else:
            setattr(f, rng.choice(("balked", "reneged", "preempted")),
                    rng.choice((0, 2 ** 62, 2 ** 70, Int(3), -1, 2.5, Value())))

    def op_facility(self, context):
        self.new_facility(self.model)

    def op_signal_new(self, context):
        if self.rng.random() < 0.05:
            Signal(self.rng.choice((None, 5)))
        self.model.signals.append(Signal(self.model.sim, self.name()))

    def op_close(self, context):
        if self.rng.random() < 0.3:
            with self.model.sim:  # leaving the block closes it
                reenter("a with block")
        else:
            self.model.sim.close()

    def op_collect(self, context):
        gc.collect()

    def op_query(self, context):
        rng = self.rng
        choice = rng.randrange(6)
        if choice == 0:
            repr(self.process())
        elif choice == 1:
            repr(self.facility())
        elif choice == 2:
            repr(self.model.sim)
            self.model.sim.peek()
        elif choice == 3:
            f = self.facility()
            (f.served, f.balked, f.reneged, f.preempted, f.wait.mean(), f.length.mean(), f.busy.mean(), f.limit,
             f.capacity, f.preemptive, f.name, f.sim, f.users, f.line)
            sim = self.model.sim
            (sim.now, sim.active, sim.pending, sim.alive, sim.running, sim.closed, sim.trace)
            p = self.process()
            if p is not None:
                (p.sim, p.generator, p.finished, p.passive, p.state, p.result, p.wakes, p.futureTime, p.priority,
                 p.queue, p.name, p.parent)
        elif choice == 4:
            repr(self.command(self.model, None, False))
        else:
            repr(self.signal())

    def op_drop(self, context):
        """Lets go of something, so that only the layer holds it."""
        model, rng = self.model, self.rng
        choice = rng.randrange(4)
        if choice == 0:
            lives = [life for life in model.lives if life.process is not None]
            life = self.pick(lives)
            if life is not None:
                life.process = None
        elif choice == 1 and model.signals:
            del model.signals[rng.randrange(len(model.signals))]
        elif choice == 2 and len(model.facilities) > 1:
            del model.facilities[rng.randrange(len(model.facilities))]
        elif self.other is not None:
            self.other.dropped = True
            self.models.remove(self.other)
            self.other = None

    def op_meddle(self, context):
        """Misuse of the core: the layer's containers changed by hand, a
        generator closed by hand. Only the rules no misuse may break are
        checked for the model from now on."""
        model, rng = self.model, self.rng
        for each in self.models:  # what it picks may be the other simulation's
            each.disturbed = each.disturbed or "meddled"
            each.meddled = True
        choice = rng.randrange(5)
        f = self.facility()
        if choice == 0:
            f.line.pop()
        elif choice == 1:
            f.users.pop()
        elif choice == 2:
            f.line.push(f.line.create())
        elif choice == 3:
            rng.choice(model.sim._containers).clear()
        else:
            lives = [life for life in model.lives if life.process is not None]
            life = self.pick(lives)
            if life is not None:
                life.by_hand = True
                life.process.generator.close()

    def op_other(self, context):
        """A second simulation, for the mistakes across simulations."""
        if self.other is None or self.rng.random() < 0.2:
            if self.other is not None:
                self.other.dropped = True
                self.models.remove(self.other)
            self.other = self.new_model()
        self.start(self.other, context)

    # -- the sequence ------------------------------------------------------

    def step(self):
        self.steps += 1
        self.hooks, self.budget = True, 30
        try:
            self.act("top")
        except ProcessError as error:
            if not isinstance(error.exception, EXPECTED):
                self.problem("a process raised an unexpected %s: %r" % (type(error.exception).__name__,
                                                                        error.exception))
        except EXPECTED:
            pass
        finally:
            self.hooks = False
        self.check()
        if self.model.sim.closed:
            self.model.dropped = True
            self.models.remove(self.model)
            self.model = self.new_model()

    def finish(self):
        """Closes every simulation (hooks on), checks, lets go of all."""
        self.hooks, self.budget = True, 60
        for model in list(self.models):
            try:
                model.sim.close()
            except EXPECTED:  # a finally that raised: close() went on all the same
                pass
        self.hooks = False
        self.check()
        for model in self.models:
            model.dropped = True
        del self.models[:]
        self.model = self.other = None
        del self.refs[:]
        for life in self.all_lives:
            life.process = life.command = life.model = None

    # -- the promises -----------------------------------------------------

    def check(self):
        hooks, self.hooks = self.hooks, False
        try:
            for model in self.models:
                check_model(model)
        finally:
            self.hooks = hooks
        if self.problems:
            raise AssertionError("\n".join(self.problems[:3]))


def chain(process):
    """The requests of a process's chain, newest first (a loop ends it)."""
    found, seen = [], set()
    request = process.prev
    while isinstance(request, ext.Request) and id(request) not in seen:
        seen.add(id(request))
        found.append(request)
        request = request.prev
    return found


def holds_server(request):
    target = request.target
    return isinstance(target, Facility) and target.sim is not None and request.queue is target.users


def waits_for(command, facility):
    """Whether command (what a process yielded) can have an entry in the
    line of facility."""
    if getattr(command, "facility", None) is facility:
        return True
    return any(waits_for(branch, facility) for branch in getattr(command, "commands", ()))


def check_model(model):
    sim = model.sim
    disturbed = model.disturbed
    lines = {}
    for c in sim._containers:
        items = list(c)
        assert len(items) == len(c), ("a container's length", type(c).__name__, len(items), len(c))
        for r in items:
            assert r.queue is c, ("a request in a container names another", type(c).__name__, r.queue)
    lives = [life for life in model.lives if life.process is not None]
    by_process = dict((id(life.process), life) for life in lives)
    # The event list, through any process in it.
    events = None
    for life in lives:
        if life.process.wakes is not None:
            events = life.process.queue
            break
    if events is not None:
        items = list(events)
        assert len(items) == len(events) == sim.pending, ("the event list's length", len(items), sim.pending)
        for r in items:
            assert r.queue is events, "an event names another container"
            assert isinstance(r, (_kernel.Process, _kernel.Timer)), ("the event list holds", type(r).__name__)
            if isinstance(r, _kernel.Process):
                assert r.sim is sim, "a process of another simulation in the event list"
    for record in model.facilities:
        f = record.facility
        line, users = f.line, f.users
        for r in users:
            assert r.target is f, "a server held for another facility"
        if f.capacity >= len(users):
            record.bound = f.capacity
        # close() empties the lines and leaves the monitors as the run left
        # them, for the statistics.
        if disturbed or sim.closed or getattr(line, "disturbed", False):
            continue
        assert len(users) <= record.bound, ("more users than servers", len(users), f.capacity, record.bound)
        if not record.replaced:
            assert f.busy.value == len(users), ("busy level", f.busy.value, len(users), repr(f))
            assert f.length.value == len(line), ("line level", f.length.value, len(line), repr(f))
        for r in line:
            p = r.val
            assert isinstance(p, _kernel.Process) and p.sim is sim, ("an entry of no process in a line", p)
            life = by_process.get(id(p))
            if p.state == "suspended":
                continue
            assert p.state == "waiting", ("an entry in a line whose process does not wait", p.state, repr(f))
            if life is not None and not life.by_hand:
                assert waits_for(life.command, f), ("a process waits in a line it did not ask for", repr(p),
                                                    life.command, repr(f))
            if len(users) < f.capacity:
                raise AssertionError(("a free server while a process waits", repr(f), repr(p)))
    for life in lives:
        p = life.process
        state, wakes, queue = p.state, p.wakes, p.queue
        entries = [r for r in chain(p) if r.val is p and r.queue is not None and not holds_server(r)]
        if any(getattr(r.queue, "disturbed", False) for r in entries):
            continue  # a line that refused to do its work
        where = (life.label, repr(p), queue, len(entries), life.command)
        if state == "finished":
            assert wakes is None and queue is None and not entries, ("a finished process still waits",) + where
        elif state in ("scheduled", "holding", "granted"):
            assert wakes is not None, ("a process neither in the event list nor parked",) + where
            assert not entries, ("a process in the event list and parked",) + where
        elif state == "passive":
            assert wakes is None and queue is not None and not entries, ("a passive process elsewhere",) + where
        elif state == "suspended":  # (unless code took its entry out of the line by hand)
            assert wakes is None and (len(entries) == 1 or model.meddled), (
                "a preempted process not in one line",) + where
        elif state == "waiting":
            assert wakes is None or queue is events, ("a waiting process in the passive list",) + where
            composite = len(getattr(life.command, "commands", ())) or None
            if not disturbed and not life.by_hand and composite is None:
                assert len(entries) == 1, ("a waiting process not parked once",) + where
            elif composite:
                assert len(entries) <= composite, ("more entries than branches",) + where
        else:
            raise AssertionError(("a process in an unknown state",) + where)
    # Every unfinished process that the fuzzer knows stays in the
    # simulation's count of them (the simulation owns each).
    unfinished = len([life for life in lives if life.process.state != "finished"])
    dropped = len([life for life in model.lives if life.process is None and (not life.exited or life.by_hand)])
    assert unfinished <= sim.alive <= unfinished + dropped, (
        "the count of unfinished processes", sim.alive, unfinished, dropped)
    if sim.closed:
        # Nothing of the model is left in any container, every generator
        # that began has ended.
        assert sim.alive == 0 and sim.pending == 0, ("alive or pending after close()", sim.alive, sim.pending)
        # (Unless code pushed a request of its own into one afterwards, or a
        # line claimed to refuse a request that it had taken.)
        for c in sim._containers:
            assert model.meddled or getattr(c, "disturbed", False) or len(c) == 0, (
                "a container not emptied by close()", type(c).__name__, len(c))
        for life in model.lives:
            assert life.exited or not life.entered, ("a generator not closed by close()", life.label)
            p = life.process
            if p is not None:
                assert p.finished and p.queue is None, ("a process left after close()", repr(p))
                held = [r for r in chain(p) if r.queue is not None]
                assert not held, ("a request of the model left in a container after close()", repr(p), held)


def run_sequence(seed, steps):
    """One sequence in this process; returns the number of operations."""
    global WORLD
    thresholds = gc.get_threshold()
    rng = random.Random(seed)
    gc.set_threshold(rng.choice((1, 2, 3, 5, 50, 700)), rng.choice((1, 2, 10)), rng.choice((1, 2, 10)))
    try:
        world = WORLD = World(seed)
        for _ in range(steps):
            world.step()
        world.finish()
        lives = world.all_lives
        operations = world.ops
        problems = world.problems
        WORLD = None
        del world
        if not PY3:
            sys.exc_clear()
        gc.collect()
        # Everything let go of: every process and generator is freed, and
        # each generator that began has run its finally (a generator that a
        # cycle with a finaliser keeps on Python 2 is the collector's own).
        if not gc.garbage:
            for life in lives:
                if life.entered and not life.exited:
                    problems.append("the generator of process %s never ended" % life.label)
                if life.ref() is not None:
                    problems.append("the generator of process %s was never freed" % life.label)
        del gc.garbage[:]
        if problems:
            raise AssertionError("\n".join(problems[:3]))
    finally:
        WORLD = None
        gc.set_threshold(*thresholds)
    return operations


def run_child(seed, steps, timeout):
    """Runs one sequence in a child; returns (operations or None, report)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.dirname(os.path.abspath(ext.__file__))), ROOT])
    env["PYTHONHASHSEED"] = str(seed % 4294967296)
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", str(seed), "--steps", str(steps)],
                             stdout=out, stderr=err, env=env)
    deadline = time.time() + timeout
    while child.poll() is None and time.time() < deadline:
        time.sleep(0.02)
    hung = child.poll() is None
    if hung:
        child.kill()
        child.wait()
    out.seek(0)
    err.seek(0)
    text = (out.read() + err.read()).decode("ascii", "replace")
    out.close()
    err.close()
    done = [line.split() for line in text.splitlines() if line.startswith("ok ")]
    if child.returncode == 0 and done:
        return int(done[-1][2]), None
    status = "hung (killed after %d s)" % timeout if hung else "exit status %d" % child.returncode
    lines = text.splitlines()
    marks = ("ERROR: AddressSanitizer", "runtime error:", "invariant broken", "Traceback (most recent call last)",
             "Fatal Python error")
    start = [i for i, line in enumerate(lines) if any(mark in line for mark in marks)][:1] or [len(lines) - 25]
    report = "seed %d: %s; reproduce with PYTHONHASHSEED=%s %s tools/layerfuzz.py --child %d --steps %d\n%s" % (
        seed, status, env["PYTHONHASHSEED"], sys.executable, seed, steps, "\n".join(lines[max(0, start[0]):][:60]))
    return None, report


def main():
    parser = optparse.OptionParser(usage=__doc__.strip())
    parser.add_option("--seconds", type="float", default=10.0)
    parser.add_option("--steps", type="int", default=200)
    parser.add_option("--seed", type="int", default=None)
    parser.add_option("--timeout", type="float", default=300.0)
    parser.add_option("--child", type="int", default=None)
    options, _ = parser.parse_args()
    if options.child is not None:
        operations = run_sequence(options.child, options.steps)
        print("ok %d %d" % (options.child, operations))
        sys.stdout.flush()
        os._exit(0)  # the interpreter's teardown would run the hooks on half-freed modules
    print("vorm.ext: %s" % os.path.abspath(ext.__file__))
    print("vorm._kernel: %s" % os.path.abspath(_kernel.__file__))
    sys.stdout.flush()
    seeds = random.Random(options.seed)
    start = time.time()
    clean = failed = operations = 0
    while clean + failed == 0 or time.time() - start < options.seconds:
        count, report = run_child(seeds.randrange(2 ** 31), options.steps, options.timeout)
        if report is None:
            clean += 1
            operations += count
        else:
            failed += 1
            print(report if failed <= 3 else report.splitlines()[0])
            sys.stdout.flush()
    print("layerfuzz: %d sequences of %d steps, %d operations in %.0f s, %d failed (Python %s)" % (
        clean + failed, options.steps, operations, time.time() - start, failed, sys.version.split()[0]))
    print("RESULT %d %d 0" % (clean, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
