"""Re-entrancy fuzzer for vorm.ext.

Python code runs in the middle of the core's operations: finalisers,
weakref callbacks, name and key comparisons, number conversions, a target's
push during moveTo, a subclass's names() in a repr, getContinuation. Here
every one of them calls back, at random, into random operations on every
live object (any method, next() on any live iterator, attribute
assignments, re-initialisation, clear, moveTo, merge, new iterators), while
the collector runs at many allocation points. Between top-level steps the
promises of the containers are checked.

  python tools/fuzz.py [--seconds S] [--steps N] [--seed N] [--timeout S]
      runs sequences for S seconds, each in a child process, so that a crash
      or a hang is reported with its seed; ends with "RESULT clean failed 0"
  python tools/fuzz.py --child SEED [--steps N]
      runs one sequence in this process, to reproduce a reported seed
      (with the PYTHONHASHSEED that the report gives)
"""
from __future__ import print_function

import ctypes
import gc
import operator
import optparse
import os
import random
import subprocess
import sys
import tempfile
import time
import weakref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.append(ROOT)  # after PYTHONPATH, where a sanitized build may come first
from vorm import ext  # noqa: E402

REQUESTS = (ext.Request, ext.LinkedRequest, ext.PriorityRequest, ext.TimeRequest)
CONTAINERS = (ext.RequestArray, ext.RequestArrayStack, ext.RequestDEQFIFO, ext.RequestListFIFO,
              ext.RequestListStack, ext.RequestBinaryHeap, ext.TimeRequestBinaryHeap)
FIELDS = ("parent", "name", "prev", "val", "queue", "firedTime", "target", "canceled", "priority", "futureTime")

call_from_c = ctypes.pythonapi.PyObject_Call
call_from_c.restype = ctypes.py_object


class Boom(Exception):
    """Raised on purpose by a hook."""


# What the core may raise at a hostile caller; anything else is a fault.
EXPECTED = (TypeError, ValueError, IndexError, KeyError, RuntimeError, OverflowError, AttributeError,
            StopIteration, Boom)

# The hooks reach the world through this global rather than through a
# reference of their own, so that they are in no cycle with it.
WORLD = None


def reenter(where):
    """Runs a random operation from inside the core, now and then."""
    world = WORLD
    if world is None or not world.hooks or world.depth >= 3 or world.budget <= 0 or world.rng.random() < 0.35:
        return
    world.depth += 1
    world.budget -= 1
    try:
        world.poke() if world.rng.random() < 0.5 else world.step()
    except EXPECTED:
        pass
    except Exception as error:  # a hook cannot raise it: the sequence fails at its next check
        world.problems.append("%s from %s: %r" % (type(error).__name__, where, error))
    finally:
        world.depth -= 1


def roll(chance):
    return WORLD is not None and WORLD.hooks and WORLD.rng.random() < chance


def hooked(base):
    class Hooked(base):
        def __del__(self):
            reenter("finaliser of a " + base.__name__)
    Hooked.__name__ = "Hooked" + base.__name__
    return Hooked


class Renamed(ext.LinkedRequest):  # its repr calls names() by name
    def names(self):
        reenter("names()")
        return ext.LinkedRequest.names(self)


class Parent(ext.Request):
    def getContinuation(self):
        reenter("getContinuation()")
        return self


def target(base):
    """A container whose push runs code, and may refuse, misplace or drop."""
    class Target(base):
        def push(self, request):
            reenter("push() of a " + base.__name__)
            choice = WORLD.rng.random() if WORLD is not None else 0.0
            if choice < 0.55:
                return base.push(self, request)
            if choice < 0.65:
                raise Boom("refused")
            if choice < 0.75:
                WORLD.container().push(request)
                raise Boom("pushed elsewhere")
            if choice < 0.9:  # a claim that only the request holds
                request.queue = WORLD.rng.choice(CONTAINER_KINDS)()
                raise Boom("claimed")
            return None  # dropped

        def __del__(self):
            reenter("finaliser of a " + base.__name__)
    Target.__name__ = "Target" + base.__name__
    return Target


KINDS = REQUESTS + tuple(hooked(kind) for kind in REQUESTS) + (Renamed, Parent)
CONTAINER_KINDS = CONTAINERS + tuple(target(kind) for kind in CONTAINERS)


class Name(object):
    """A name or look-up key whose comparisons run code and may raise."""

    def __init__(self, label):
        self.label = label

    def __eq__(self, other):
        reenter("name comparison")
        if roll(0.04):
            raise Boom("name comparison")
        return isinstance(other, Name) and other.label == self.label

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


class Key(object):
    """A PriorityQueue key whose comparisons run code, raise, or lie."""

    def __init__(self, value):
        self.value = value

    def compare(self, other, test):
        reenter("key comparison")
        if roll(0.04):
            raise Boom("key comparison")
        if roll(0.02):
            return True
        return test(self.value, other.value if isinstance(other, Key) else other)

    def __lt__(self, other):
        return self.compare(other, operator.lt)

    def __gt__(self, other):
        return self.compare(other, operator.gt)

    def __le__(self, other):
        return self.compare(other, operator.le)

    def __ge__(self, other):
        return self.compare(other, operator.ge)

    def __eq__(self, other):
        return self.compare(other, operator.eq)

    def __cmp__(self, other):
        return -1 if self.__lt__(other) else (1 if self.__gt__(other) else 0)

    __hash__ = object.__hash__

    def __del__(self):
        reenter("finaliser of a key")


class Number(object):
    """A number whose conversion (__float__, __index__, __int__) runs code."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        reenter("__float__")
        if roll(0.04):
            raise Boom("__float__")
        return float(self.value)

    def __index__(self):
        reenter("__index__")
        return int(self.value)

    __int__ = __index__


class Value(object):
    def __del__(self):
        reenter("finaliser of a value")


def callback(ref):
    reenter("weakref callback")


class Walk(object):
    """A live iterator and what it iterates."""

    __slots__ = ("iterator", "owner")

    def __init__(self, owner):
        self.iterator, self.owner = iter(owner), owner

    def step(self):
        """A container's iterator hands out only requests that the container
        holds (and no code runs between its step and this test)."""
        found = next(self.iterator)
        if isinstance(self.owner, CONTAINERS) and found.queue is not self.owner:
            raise AssertionError("a %s iterator yielded a request that it does not hold"
                                 % type(self.owner).__name__)
        return found


class World(object):
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.hooks = False
        self.depth = self.budget = self.ops = 0
        self.problems = []
        self.requests, self.containers, self.queues, self.iterators, self.things = [], [], [], [], []
        self.refs = []  # weak references with callbacks, kept so that the callbacks fire
        # What the running top-level operation and the code that it runs have
        # worked on: code run from inside the core picks from here first,
        # which is where re-entrance bites.
        self.focus = []
        # (operation, weight at the top, weight from inside the core, where
        # changing what the outer operation works on is the point)
        table = (("new_request", 6, 1), ("new_container", 2, 1), ("drop", 4, 4), ("push", 24, 8), ("pop", 4, 8),
                 ("get", 2, 2), ("delete", 4, 6), ("clear", 4, 6), ("move", 6, 4), ("create", 3, 1), ("merge", 2, 2),
                 ("index", 2, 2), ("new_iterator", 4, 6), ("next", 8, 12), ("assign", 8, 8), ("reinit", 3, 2),
                 ("keywords", 2, 1), ("chain", 6, 3), ("queue_push", 5, 4), ("queue_pop", 3, 4), ("misc", 3, 4))
        self.operations = [[(weight, getattr(self, name)) for name, weight in
                            ((entry[0], entry[column]) for entry in table)] for column in (1, 2)]
        self.totals = [sum(weight for weight, _ in operations) for operations in self.operations]

    # Picking things
    def pick(self, pool):
        if self.focus and self.rng.random() < (0.8 if self.depth else 0.5):
            near = [thing for thing in self.focus if any(thing is member for member in pool)]
            if near:
                return self.rng.choice(near)
        found = pool[self.rng.randrange(len(pool))] if pool else None
        if found is not None:
            self.focus.append(found)
        return found

    def keep(self, pool, thing, limit):
        """Adds thing to pool; a full pool releases a random member."""
        if len(pool) >= limit:
            pool[self.rng.randrange(len(pool))] = thing
        else:
            pool.append(thing)
        return thing

    def request(self):
        found = self.pick(self.requests)
        return found if found is not None else self.new_request()

    def container(self):  # an empty container is false, so no "or" here
        found = self.pick(self.containers)
        return found if found is not None else self.new_container()

    def queue(self):
        found = self.pick(self.queues)
        return found if found is not None else self.keep(self.queues, ext.PriorityQueue(), 3)

    def fresh(self):
        """A hooked request that only what it is given to will hold, so that
        whatever releases it runs its finaliser; often with a chain behind."""
        made = self.rng.choice(KINDS[len(REQUESTS):])(name=Name(self.rng.randrange(4)))
        if self.rng.random() < 0.5:
            made.prev = self.fresh() if self.rng.random() < 0.6 or not self.requests else self.pick(self.requests)
        if self.rng.random() < 0.2:
            self.keep(self.refs, weakref.ref(made, callback), 40)
        return made

    def thing(self):
        """Anything that a field, an argument or a key may be given."""
        choice = self.rng.randrange(12)
        if choice < 2:
            return self.request()
        if choice < 4:
            return self.fresh()
        if choice == 4:
            return self.container() if self.rng.random() < 0.5 else self.rng.choice(CONTAINER_KINDS)()
        if choice == 5:
            walk = self.pick(self.iterators)
            return walk.iterator if walk is not None else None
        if choice == 6:
            return self.number()
        if choice == 7:
            return self.rng.choice((None, 1, 2.5, "a", (1, 2), u"\xe9"))
        made = self.rng.choice((Name, Value, Key))
        made = made(self.rng.randrange(4)) if made is not Value else made()
        if self.rng.random() < 0.3:
            self.keep(self.refs, weakref.ref(made, callback), 40)
        return self.keep(self.things, made, 30) if self.rng.random() < 0.4 else made

    def number(self):
        return self.rng.choice((Number(self.rng.uniform(-3, 3)), self.rng.uniform(-3, 3), self.rng.randrange(9)))

    def arguments(self):
        positional = tuple(self.number() for _ in range(self.rng.randrange(3)))
        keywords = dict((field, self.number() if field in ("firedTime", "priority", "futureTime") else self.thing())
                        for field in self.rng.sample(FIELDS, self.rng.randrange(4)))
        return positional, keywords

    # Operations: each may raise what the core raises at a hostile caller
    def step(self):
        self.ops += 1
        nested = 1 if self.depth else 0
        choice = self.rng.uniform(0, self.totals[nested])
        try:
            for weight, operation in self.operations[nested]:
                choice -= weight
                if choice <= 0:
                    return operation()
        finally:
            if not nested:
                del self.focus[:]

    def poke(self):
        """Does something to one of the things in focus, whatever it is."""
        self.ops += 1
        thing = self.rng.choice(self.focus) if self.focus else self.container()
        choice = self.rng.randrange(4)
        if isinstance(thing, CONTAINERS):
            if choice == 0:  # and then take from the container
                self.focus.append(self.keep(self.iterators, Walk(thing), 16))
            changes = (thing.pop, thing.clear, lambda: thing.push(self.fresh()), lambda: thing.moveTo(self.container()))
            changes[choice]()
        elif isinstance(thing, ext.Request):
            if choice == 0:
                self.focus.append(self.keep(self.iterators, Walk(thing), 16))
            else:
                setattr(thing, self.rng.choice(("prev", "name", "val", "queue")), self.thing())
        elif isinstance(thing, dict):
            thing.clear()
        elif isinstance(thing, ext.PriorityQueue):
            thing.pop() if choice else thing.push(Key(1), self.thing())
        elif isinstance(thing, Walk):
            thing.step()

    def new_request(self):
        kind = self.rng.choice(KINDS)
        positional, keywords = self.arguments() if self.rng.random() < 0.5 else ((), {"name": self.thing()})
        made = kind(*positional, **keywords)
        if self.rng.random() < 0.2:
            self.keep(self.refs, weakref.ref(made, callback), 40)
        self.focus.append(made)
        return self.keep(self.requests, made, 40)

    def new_container(self):
        made = self.rng.choice(CONTAINER_KINDS)()
        self.focus.append(made)
        return self.keep(self.containers, made, 8)

    def populate(self):
        for _ in range(6):
            c = self.new_container()
            for _ in range(self.rng.randrange(6)):
                try:
                    c.push(self.fresh())
                except EXPECTED:
                    pass
        for _ in range(8):
            self.keep(self.requests, self.fresh(), 40)
        del self.focus[:]

    def drop(self):
        """Lets go of something, most often of what an outer operation works
        on, so that only the core's own references keep it."""
        pool = self.rng.choice((self.requests, self.containers, self.iterators, self.things, self.queues, self.refs))
        near = [i for i, member in enumerate(pool) if any(member is thing for thing in self.focus)]
        if near and self.rng.random() < 0.7:
            del pool[self.rng.choice(near)]
        elif pool:
            del pool[self.rng.randrange(len(pool))]

    def push(self):
        target = self.container()
        for _ in range(self.rng.choice((1, 1, 2, 4))):
            target.push(self.request() if self.rng.random() < 0.4 else self.fresh())

    def pop(self):
        self.keep(self.requests, self.container().pop(), 40)

    def get(self):
        self.container().get()
        len(self.container())
        self.container().empty()

    def delete(self):
        self.container().delete(self.request())

    def clear(self):
        self.container().clear()

    def move(self):
        self.container().moveTo(self.container() if self.rng.random() < 0.9 else self.thing())

    def create(self):
        positional, keywords = self.arguments()
        self.keep(self.requests, self.container().create(*positional, **keywords), 40)

    def merge(self):
        heaps = [c for c in self.containers if isinstance(c, (ext.RequestBinaryHeap, ext.TimeRequestBinaryHeap))]
        if heaps:
            self.pick(heaps).merge(self.pick(heaps) if self.rng.random() < 0.9 else self.thing())

    def index(self):
        arrays = [c for c in self.containers if isinstance(c, ext.RequestArray)]
        if arrays:
            self.pick(arrays)[self.rng.randrange(-3, 4)]

    def new_iterator(self):
        owner = self.rng.choice((self.container, self.request, self.queue))()
        made = self.keep(self.iterators, Walk(owner), 16)
        self.focus.append(made)
        if self.rng.random() < 0.2:  # a cycle through the iterator
            self.request().val = made.iterator

    def next(self):
        walk = self.pick(self.iterators)
        if walk is not None:
            found = walk.step()
            if isinstance(found, ext.Request) and self.rng.random() < 0.3:
                self.keep(self.requests, found, 40)

    def assign(self):
        field = self.rng.choice(FIELDS)
        value = self.rng.uniform(-3, 3) if field in ("firedTime", "priority", "futureTime") else self.thing()
        setattr(self.request(), field, value)

    def reinit(self):
        positional, keywords = self.arguments()
        self.request().__init__(*positional, **keywords)

    def keywords(self):
        """Re-initialises through a dict that the hooks may empty meanwhile:
        on 2.7 and up to 3.8 **kw hands the dict itself over, as a call from
        C does on every version."""
        positional, keywords = self.arguments()
        keywords["firedTime"] = Number(1.5)
        self.keep(self.things, keywords, 30)
        self.focus.append(keywords)
        initialise = self.request().__init__
        if self.rng.random() < 0.5:
            initialise(*positional, **keywords)
        else:
            call_from_c(ctypes.py_object(initialise), ctypes.py_object(positional), ctypes.py_object(keywords))

    def chain(self):
        r = self.request()
        choice = self.rng.randrange(12)
        if choice == 0:
            r.append(self.request() if self.rng.random() < 0.9 else None)
        elif choice == 1:
            r.prev = self.request()  # cycles included
        elif choice < 4:
            self.rng.choice((r.names, r.namesAndValues, r.namesAndTimes))()
        elif choice < 6:
            key = self.thing()
            self.rng.choice((r.time, r.index, lambda k: k in r, lambda k: r[k]))(key)
        elif choice < 8:
            repr(r)
        elif choice == 8:
            r.getContinuation()
        else:
            self.rng.choice((r.delete, r.suspend, r.resume, r.action))(self.thing())

    def queue_push(self):
        queue = self.queue()
        key = self.rng.choice((Key(self.rng.randrange(5)), self.rng.randrange(5), self.rng.uniform(0, 5)))
        queue.push(key, self.thing())

    def queue_pop(self):
        queue = self.pick(self.queues)
        if queue is not None:
            self.rng.choice((queue.pop, queue.get, queue.empty, queue.__len__))()

    def misc(self):
        choice = self.rng.randrange(5)
        if choice == 0:
            gc.collect()
        elif choice == 1:
            ext.RequestIDInitialize()
        elif choice == 2:  # a keyword dict that an initialisation may be reading
            for keywords in [thing for thing in self.focus + self.things if isinstance(thing, dict)][:1]:
                keywords.clear()
        else:
            self.rng.choice((ext.dnorm, ext.pnorm, ext.qnorm))(self.number())
            ext.dt(self.number(), 3)

    # What holds between top-level steps
    def check(self):
        self.hooks = False
        stored = set()
        for c in self.containers:
            items = list(c)
            assert len(items) == len(c), (type(c).__name__, len(items), len(c))
            for r in items:
                assert r.queue is c, (type(c).__name__, r.queue)
                assert id(r) not in stored, "a request stored twice"
                stored.add(id(r))
            if items:
                last = isinstance(c, ext.RequestArray)
                assert c.get() is items[-1 if last else 0], type(c).__name__
            if isinstance(c, ext.RequestArray):
                assert all(c[i] is r for i, r in enumerate(items))
        for queue in self.queues:
            items = list(queue)
            assert len(items) == len(queue)
            assert not items or queue.get() is items[0]
        for r in self.requests:
            assert r.queue is None or isinstance(r.queue, CONTAINERS), r.queue
        if self.problems:
            raise AssertionError(self.problems[0])


def run_sequence(seed, steps):
    """One sequence in this process; returns the number of operations."""
    global WORLD
    world = WORLD = World(seed)
    thresholds = gc.get_threshold()
    gc.set_threshold(world.rng.choice((1, 3, 10, 100, 700)), 2, 2)
    try:
        world.populate()
        for _ in range(steps):
            world.hooks, world.budget = True, 40
            try:
                world.step()
            except EXPECTED:
                pass
            world.check()
        world.hooks, world.budget = True, 200
        for pool in (world.iterators, world.requests, world.containers, world.queues, world.things):
            while pool:
                del pool[world.rng.randrange(len(pool))]
        world.check()
    finally:
        world.hooks = False
        gc.set_threshold(*thresholds)
    operations = world.ops
    WORLD = None
    del world
    gc.collect()
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
    done = [line.split() for line in text.splitlines() if line.startswith("ok ")]
    if child.returncode == 0 and done:
        return int(done[-1][2]), None
    status = "hung (killed after %d s)" % timeout if hung else "exit status %d" % child.returncode
    lines = text.splitlines()
    marks = ("ERROR: AddressSanitizer", "runtime error:", "invariant broken", "Traceback (most recent call last)")
    start = [i for i, line in enumerate(lines) if any(mark in line for mark in marks)][:1] or [len(lines) - 25]
    report = "seed %d: %s; reproduce with PYTHONHASHSEED=%s %s tools/fuzz.py --child %d --steps %d\n%s" % (
        seed, status, env["PYTHONHASHSEED"], sys.executable, seed, steps, "\n".join(lines[max(0, start[0]):][:40]))
    return None, report


def main():
    parser = optparse.OptionParser(usage=__doc__.strip())
    parser.add_option("--seconds", type="float", default=10.0)
    parser.add_option("--steps", type="int", default=300)
    parser.add_option("--seed", type="int", default=None)
    parser.add_option("--timeout", type="float", default=600.0)
    parser.add_option("--child", type="int", default=None)
    options, _ = parser.parse_args()
    if options.child is not None:
        operations = run_sequence(options.child, options.steps)
        print("ok %d %d" % (options.child, operations))
        sys.stdout.flush()
        os._exit(0)  # the interpreter's teardown would run the hooks on half-freed modules
    print("vorm.ext: %s" % os.path.abspath(ext.__file__))
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
    print("fuzz: %d sequences of %d steps, %d operations in %.0f s, %d failed (Python %s)" % (
        clean + failed, options.steps, operations, time.time() - start, failed, sys.version.split()[0]))
    print("RESULT %d %d 0" % (clean, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
