# Python code that runs in the middle of an operation: a finaliser, a
# conversion or a weakref callback that re-enters the core. Each scenario runs
# in a child interpreter, so that a crash fails its test instead of the suite.
import os
import sys
import unittest

from tests.support import run_child

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")

PRELUDE = r'''
import weakref
from vorm import ext
from tests.support import ALL_CONTAINERS, HEAPS, Marker, check_consistent, element_type, make_requests
'''


class ReentrancyTest(unittest.TestCase):
    def run_scenarios(self, code):
        status, out = run_child(PRELUDE + code, stderr=True)
        self.assertEqual((status, "done" in out.splitlines()), (0, True), out[-3000:])

    def test_finalisers_during_a_move_find_the_source_whole(self):
        """The target keeps the requests that the test keeps, lets the others
        die as the source lets them go, and at one request gives it a claim
        and raises: the claim dies as the request goes back. The first
        finaliser to run changes the source."""
        self.run_scenarios(r'''
def scenario(kind, failing, action):
    src, todo = kind(), [action]

    def act():
        if todo:
            try:
                todo.pop()(src)
            except (IndexError, ValueError, RuntimeError):  # empty, not held, or refused
                pass

    class Dying(element_type(kind)):
        def __del__(self):
            act()

    class Claim(ext.RequestArray):
        def __del__(self):
            act()

    class Target(ext.RequestListFIFO):
        def push(self, r):
            if r is failed:
                r.queue = Claim()  # the claim's only reference
                raise KeyError
            if type(r) is not Dying:
                ext.RequestListFIFO.push(self, r)
    for r in [Dying() for _ in range(2)] + make_requests(kind, 3):
        src.push(r)
    stored = list(src) + [None]  # failing 5: every push succeeds
    failed, requests = stored[failing], [r for r in stored[:-1] if type(r) is not Dying]
    del stored, r
    target = Target()
    try:
        src.moveTo(target)
    except KeyError:
        pass
    check_consistent([src, target], requests)
    # nothing lost: the heaps leave the failed request its claim
    assert all(r.queue is None or r in list(r.queue) or (kind in HEAPS and type(r.queue) is Claim) for r in requests)
    assert not todo or kind in HEAPS  # a heap may fail before it lets a request die
actions = (lambda s: s.clear(), lambda s: s.pop(), lambda s: s.delete(s.get()), lambda s: list(s),
           lambda s: s.push(make_requests(type(s), 1)[0]), lambda s: s.moveTo(ext.RequestListFIFO()))
for kind in ALL_CONTAINERS:
    for failing in range(6):
        for action in actions:
            scenario(kind, failing, action)
print("done")
''')

    def test_chain_iterator_reentered_by_the_anchor_release(self):
        self.run_scenarios(r'''
for inner in (lambda it: next(it), lambda it: list(it)):
    class R(ext.Request):
        def __del__(self):
            inner(it)
    r3 = ext.Request(name="r3")
    r0 = ext.Request(name="r0", prev=R(name="r1", prev=ext.Request(name="r2", prev=r3)))
    it = iter(r0)
    next(it)
    x = next(it)
    r0.prev = None
    del x
    assert next(it).name == "r2"  # the release of r1 hands r3 to the finaliser
    assert list(it) == []
print("done")
''')

    def test_iterators_made_and_used_during_clear(self):
        self.run_scenarios(r'''
for kind in ALL_CONTAINERS:
    c, state = kind(), {"seen": []}

    class Make(element_type(kind)):
        def __del__(self):
            state["it"] = iter(c)

    def use():
        try:
            state["seen"].append(next(state["it"]).queue is c)
        except StopIteration:
            state["seen"].append("end")
        except RuntimeError as error:
            state["seen"].append(str(error))

    class Use(element_type(kind)):
        def __del__(self):
            use()
    for r in (Make(), element_type(kind)(), Use(), element_type(kind)()):
        c.push(r)
    del r
    c.clear()
    c.push(element_type(kind)())
    use()  # after the clear
    if kind is ext.RequestDEQFIFO:  # as collections.deque
        assert state["seen"] == ["container mutated during iteration"] * 2, state["seen"]
    else:  # never a request that the container no longer holds
        assert all(s in (True, "end", "container mutated during iteration") for s in state["seen"]), state
print("done")
''')

    def test_keyword_values_freed_during_initialisation(self):
        """On 2.7 and up to 3.8 Request(**kw) hands kw itself to the
        initialiser, as a C caller may on any version; a conversion, or the
        release of a field's old value, empties it while its values are being
        stored."""
        self.run_scenarios(r'''
import ctypes
call = ctypes.pythonapi.PyObject_Call
call.restype = ctypes.py_object
class Req(ext.Request):
    pass

class Arr(ext.RequestArray):
    pass

class Clearing(object):
    def __float__(self):
        kw.clear()
        return 1.0

class Inserting(object):  # a positional conversion plants a clearing keyword
    def __float__(self):
        kw["firedTime"] = Clearing()
        return 2.0

class OldParent(ext.Request):
    def __del__(self):
        kw.clear()
kinds = [ext.Request, ext.LinkedRequest, ext.PriorityRequest, ext.TimeRequest]
makers = kinds + [kind().create for kind in (ext.RequestListFIFO, ext.RequestBinaryHeap, ext.TimeRequestBinaryHeap)]
for way in ("keyword", "positional", "release", "C call"):
    for make in (makers if way != "release" else kinds):
        kw = {"parent": Req(), "name": Marker(), "prev": Req(), "val": Marker(), "queue": Arr(), "target": Marker()}
        if way == "positional":
            if make not in (ext.TimeRequest, makers[-1]):
                continue
            del kw["parent"]
        given = dict((key, weakref.ref(value)) for key, value in kw.items())
        if way == "keyword":
            kw["firedTime"] = Clearing()
            r = make(**kw)
        elif way == "C call":  # a C caller may hand over any dict, on every version
            kw["firedTime"] = Clearing()
            r = call(ctypes.py_object(make), ctypes.py_object(()), ctypes.py_object(kw))
        elif way == "positional":
            r = make(Inserting(), **kw)
        else:
            r = make(parent=OldParent())
            r.__init__(**kw)
        for key, ref in given.items():
            assert getattr(r, key) is ref() is not None, (make, way, key)
print("done")
''')


class FuzzTest(unittest.TestCase):
    def test_random_reentrant_sequences(self):
        """tools/fuzz.py, each sequence in a child, for VORM_FUZZ_SECONDS
        (make sanitize runs it longer, make fuzz for as long as asked)."""
        seconds = os.environ.get("VORM_FUZZ_SECONDS", "3")
        status, out = run_child(None, True, [os.path.join(TOOLS, "fuzz.py"), "--seconds", seconds])
        result = [line.split() for line in out.splitlines() if line.startswith("RESULT ")]
        self.assertEqual((status, len(result)), (0, 1), out[-4000:])
        self.assertTrue(int(result[0][1]) > 0 and result[0][2] == "0", out[-4000:])

    def test_one_sequence_in_process(self):
        """A fixed sequence in this process, so that make refleak can see
        what the re-entrant paths leak."""
        sys.path.insert(0, TOOLS)
        try:
            import fuzz
        finally:
            sys.path.remove(TOOLS)
        self.assertGreater(fuzz.run_sequence(20261205, 120), 120)


if __name__ == "__main__":
    unittest.main()
