# Hostile use: containers changed while iterated or moved, target pushes
# that misbehave, reference cycles, very long chains and long soaks. None of
# it may crash, hang, lose a request or leak.
import gc
import os
import sys
import unittest
import weakref

from vorm import ext
from tests.support import ALL_CONTAINERS, HEAPS, PY3, Marker, check_consistent, element_type, make_requests

SOAK = int(os.environ.get("VORM_SOAK_OPERATIONS", "1000000"))


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def fill(kind, count=6):
    c = kind()
    requests = make_requests(kind, count)
    for r in requests:
        c.push(r)
    return c, requests


class IterationMutationTest(unittest.TestCase):
    def test_changes_at_every_step(self):
        clear = lambda c, r, spare: c.clear()
        steps = (lambda c, r, spare: c.delete(r), lambda c, r, spare: c.push(make_requests(type(c), 1)[0]),
                 lambda c, r, spare: c.pop(), lambda c, r, spare: (c.delete(r), c.push(r)), clear,
                 lambda c, r, spare: c.moveTo(spare), lambda c, r, spare: (c.delete(r), spare.push(r)))
        raising = (ext.RequestDEQFIFO, ext.RequestListFIFO, ext.RequestListStack)
        for kind in ALL_CONTAINERS:
            for step in steps:
                c, requests = fill(kind)
                spare = kind()
                seen, raised = 0, False
                try:
                    for r in c:
                        self.assertIs(r.queue, c)
                        step(c, r, spare)
                        seen += 1
                        if seen == 50:  # the array iterators follow pushes at the end
                            break
                except RuntimeError as error:  # the array and heap iterators go on by position
                    self.assertIn("mutated during iteration", str(error))
                    raised = True
                self.assertTrue(kind in raising or not raised)
                if step is clear:  # as collections.deque does
                    self.assertEqual(raised, kind in raising)
                check_consistent([c, spare], requests)


class MoveMutationTest(unittest.TestCase):
    def target_with(self, behaviour, base=ext.RequestListFIFO):
        class Target(base):
            calls = 0

            def push(self, request):
                Target.calls += 1
                return behaviour(self, request, Target.calls)
        return Target()

    def test_target_push_that_changes_the_source(self):
        state = {}
        behaviours = (lambda t, r, n: state["source"].pop(), lambda t, r, n: state["source"].clear(),
                      lambda t, r, n: state["source"].push(r), lambda t, r, n: state["source"].moveTo(t),
                      lambda t, r, n: state["source"].delete(r),
                      lambda t, r, n: (ext.RequestListFIFO.push(t, r), t.pop(), list(state["source"])))
        for kind in ALL_CONTAINERS:
            for behaviour in behaviours:
                source, requests = fill(kind)
                state["source"] = source
                target = self.target_with(behaviour)
                try:
                    source.moveTo(target)
                except (RuntimeError, ValueError):
                    pass
                check_consistent([source, target], requests)
                self.assertEqual(len(source) + len(target) + sum(r.queue is None for r in requests), len(requests))

    def test_failed_or_odd_target_push_loses_nothing(self):
        spare = {}

        def refuse_third(target, request, calls):
            if calls == 3:
                raise KeyError("refused")
            ext.RequestListFIFO.push(target, request)

        def kept_then_raise(target, request, calls):
            ext.RequestListFIFO.push(target, request)
            if calls == 3:
                raise KeyError("kept")

        def elsewhere_then_raise(target, request, calls):
            if calls == 3:
                spare["c"].push(request)
                raise KeyError("elsewhere")
            ext.RequestListFIFO.push(target, request)

        def dropped(target, request, calls):
            if calls != 3:
                ext.RequestListFIFO.push(target, request)
        # (behaviour, left in the source, held by target and spare, left free);
        # a refused request goes back to the source, except from the heaps,
        # whose rules leave it in neither container
        cases = ((refuse_third, 4, 2, 0), (kept_then_raise, 3, 3, 0), (elsewhere_then_raise, 3, 3, 0),
                 (dropped, 0, 5, 1))
        for kind in ALL_CONTAINERS:
            for behaviour, in_source, moved, free in cases:
                if kind in HEAPS and behaviour is refuse_third:
                    in_source, free = 3, 1
                source, requests = fill(kind)
                spare["c"] = ext.RequestListFIFO()  # the heaps' requests are LinkedRequests too
                target = self.target_with(behaviour)
                try:
                    source.moveTo(target)
                except KeyError:
                    self.assertIsNot(behaviour, dropped)
                everywhere = [source, target, spare["c"]]
                check_consistent(everywhere, requests)
                self.assertEqual((len(source), len(target) + len(spare["c"]), sum(r.queue is None for r in requests)),
                                 (in_source, moved, free), (kind.__name__, behaviour.__name__))
                source.moveTo(ext.RequestListFIFO())  # the rest still moves
                self.assertEqual(len(source), 0)

    def test_reads_during_a_move_never_hand_out_moved_requests(self):
        for kind in ALL_CONTAINERS:
            source, requests = fill(kind, 4)
            seen = []

            def peek(target, request, calls):
                seen.append((len(source), source.empty()))
                if kind in HEAPS:  # a heap takes each request out before handing it on
                    rest = list(source)
                    self.assertTrue(all(r.queue is source for r in rest))
                    self.assertIs(source.get(), rest[0]) if rest else self.assertRaises(IndexError, source.get)
                else:
                    for read in (source.get, lambda: list(source), lambda: source[0]):
                        self.assertRaises((RuntimeError, TypeError), read)  # only the array has indexing
                ext.RequestListFIFO.push(target, request)
            source.moveTo(self.target_with(peek))
            moving = [(3, False), (2, False), (1, False), (0, True)] if kind in HEAPS else [(4, False)] * 4
            self.assertEqual(seen, moving, kind.__name__)



class RebindingTest(unittest.TestCase):
    """Code that runs in the middle of an operation (a repr, a finaliser that
    a collection starts) rebinds the fields the operation is reading."""

    def test_repr_of_a_name_that_rebinds_the_request(self):
        class Name(object):
            def __repr__(self):
                self.request.name = self.request.val = None  # frees both, this name included
                return "name"
        for kind in (ext.PriorityRequest, ext.TimeRequest):
            name = Name()
            name.request = kind(name=name, val=Marker())
            request = name.request
            del name
            self.assertIn("name=name val=<", repr(request))
            self.assertEqual((request.name, request.val), (None, None))

    def test_collection_during_the_name_lists(self):
        chain = [ext.Request(name=Marker(), val=Marker()) for _ in range(50)]
        for a, b in zip(chain, chain[1:]):
            a.prev = b
        armed = []

        def arm():
            trap = Marker()
            trap.cycle = trap  # garbage for the next collection to find
            armed.append(weakref.ref(trap, fire))

        def fire(ref):
            armed.remove(ref)
            for r in chain:
                r.name, r.val = Marker(), Marker()
            arm()
        # Until 3.12 a collection can start inside the allocation of a pair,
        # once the free pairs are used up.
        drained = [(i, -i) for i in range(5000)]
        thresholds = gc.get_threshold()
        arm()
        gc.set_threshold(1)
        try:
            lists = [chain[0].namesAndValues() for _ in range(5)] + [chain[0].namesAndTimes() for _ in range(5)]
        finally:
            gc.set_threshold(*thresholds)
            del armed[:], drained
        self.assertEqual([len(pairs) for pairs in lists], [50] * 10)
        self.assertEqual(set(type(pair[0]) for pairs in lists for pair in pairs), set([Marker]))


class ForgedClaimTest(unittest.TestCase):
    def test_claims_never_reach_the_storage(self):
        for kind in ALL_CONTAINERS:
            c, held = fill(kind, 3)
            other = kind()
            stale = make_requests(kind, 1, "s")[0]
            other.push(stale)
            other.clear()  # stale link words that name a slot c really uses
            stale.queue = c
            by_init = make_requests(kind, 1, "i")[0]
            by_init.__init__(queue=c)
            claims = [stale, by_init, element_type(kind)(queue=c), c.create(queue=c)]
            for r in claims:
                self.assertRaises(ValueError, c.push, r)
                self.assertRaises(ValueError, c.delete, r)
                self.assertRaises(ValueError, other.push, r)
            self.assertEqual(sorted(map(id, c)), sorted(map(id, held)))
            c.moveTo(other)
            other.moveTo(c)
            c.clear()
            self.assertEqual(([r.queue for r in held], [r.queue for r in claims]), ([None] * 3, [c] * 4))
            for r in claims:  # a claim is withdrawn like any other queue value
                r.queue = None
                c.push(r)
            self.assertEqual(len(c), 4)
            check_consistent([c, other], held + claims)

    def test_claims_of_requests_that_left_an_end(self):
        """A request that left either end of a container still names the slot
        it had, just past the live ones (a ring's head and tail are both
        next to it when the ring is full), and the storage may keep its
        address there. A forged claim on it must not pass for membership:
        delete raises "not in queue" and changes nothing, for every count
        and after push-pop turns that wrap a ring round its end."""
        def delete(c, r):
            c.delete(r)
            return r
        ways = (("pop", lambda c: c.pop()), ("delete of the first stored", lambda c: delete(c, list(c)[0])),
                ("delete of the last stored", lambda c: delete(c, list(c)[-1])),
                ("delete of the next to serve", lambda c: delete(c, c.get())))
        for kind in ALL_CONTAINERS:
            for count in range(1, 10):
                for turns in range(4):
                    for way, take in ways:
                        label = "%s of %d after %d turns, %s" % (kind.__name__, count, turns, way)
                        c = kind()
                        requests = make_requests(kind, count + turns)
                        for r in requests[:count]:
                            c.push(r)
                        for r in requests[count:]:
                            c.pop()
                            c.push(r)
                        r = take(c)
                        stored = list(c)
                        self.assertIs(r.queue, None, label)
                        r.queue = c
                        # An empty container says so first.
                        error, message = (ValueError, "not in queue") if stored else (IndexError, "empty queue")
                        with self.assertRaises(error) as cm:
                            c.delete(r)
                        self.assertEqual(str(cm.exception), message, label)
                        self.assertEqual((list(c), len(c)), (stored, len(stored)), label)
                        self.assertRaises(ValueError, c.push, r)
                        r.queue = None
                        c.push(r)
                        check_consistent([c], requests)
                        self.assertEqual(len(c), len(stored) + 1, label)


class MemoryTest(unittest.TestCase):
    def test_iterators_and_cycles(self):
        def queue():
            q, requests = ext.PriorityQueue(), [ext.Request(name="q%d" % i) for i in range(3)]
            for i, r in enumerate(requests):
                q.push(i, r)
            return q, requests

        def chain():
            requests = [ext.Request(name="c%d" % i) for i in range(3)]
            requests[0].prev, requests[1].prev = requests[1], requests[2]
            return requests[0], requests
        for make in [lambda kind=kind: fill(kind, 3) for kind in ALL_CONTAINERS] + [queue, chain]:
            owner, requests = make()
            marker = Marker()
            watch = weakref.ref(marker)
            requests[0].val, requests[1].parent, requests[2].val = owner, requests[2], marker
            it = iter(owner)
            next(it)
            del owner, requests, marker
            gc.collect()  # the iterator is outside the cycle and keeps it
            self.assertEqual(len(list(it)), 2)
            self.assertIsNotNone(watch())
            del it
            gc.collect()
            self.assertIsNone(watch())
            # a cycle through iterators is collected, as with collections.deque
            owner, requests = make()
            marker = Marker()
            watch = weakref.ref(marker)
            requests[0].val, requests[1].val, requests[2].val = iter(owner), iter(requests[1]), marker
            del owner, requests, marker
            gc.collect()
            self.assertIsNone(watch())

    def test_million_request_chains_release_flat(self):
        kinds = (ext.Request, ext.LinkedRequest, ext.PriorityRequest, ext.TimeRequest)
        enabled = gc.isenabled()
        gc.disable()  # a chain is no garbage; collections would only rescan it while it grows
        try:
            for fields in (("prev",), ("parent", "val", "prev")):
                head = None
                for i in range(1000000):
                    head = kinds[i % len(kinds)](**{fields[i % len(fields)]: head})
                del head
        finally:
            if enabled:
                gc.enable()

    def test_soak_leaves_memory_where_it_started(self):
        tracer = None
        if PY3:
            import tracemalloc as tracer
        for kind in ALL_CONTAINERS + (ext.PriorityQueue,):
            c = kind()
            if kind is ext.PriorityQueue:
                requests = [ext.Request() for _ in range(64)]
                for i, r in enumerate(requests):
                    c.push(i, r)
            else:
                requests = make_requests(kind, 64)
                for r in requests:
                    c.push(r)
            references = refcounts(requests)
            gc.collect()
            objects = len(gc.get_objects())
            if tracer is not None:
                tracer.start()
                before = tracer.get_traced_memory()[0]
            push, pop = c.push, c.pop
            if kind is ext.PriorityQueue:
                for i in range(SOAK // 2):
                    push(i, pop())
            else:
                for _ in range(SOAK // 2):
                    push(pop())
            gc.collect()
            if tracer is not None:
                grown = tracer.get_traced_memory()[0] - before
                tracer.stop()
                self.assertLess(grown, 4096, kind.__name__)
            self.assertLess(len(gc.get_objects()) - objects, 16, kind.__name__)
            self.assertEqual((len(c), refcounts(requests)), (64, references), kind.__name__)


if __name__ == "__main__":
    unittest.main()
