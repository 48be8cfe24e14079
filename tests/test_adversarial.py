# Hostile use: containers changed while iterated or moved, target pushes
# that misbehave, reference cycles, very long chains and long soaks. None of
# it may crash, hang, lose a request or leak.
import gc
import os
import unittest

from vorm import ext
from tests.support import ALL_CONTAINERS, CONTAINERS, HEAPS, PY3, Marker, freed_after_collect, make_requests

SOAK = int(os.environ.get("VORM_SOAK_OPERATIONS", "1000000"))


def fill(kind, count=6):
    c = kind()
    requests = make_requests(kind, count)
    for r in requests:
        c.push(r)
    return c, requests


def assert_consistent(test, containers, requests):
    """Every request is free or stored once in the container its queue names."""
    seen = []
    for c in containers:
        stored = list(c)
        test.assertEqual(len(stored), len(c))
        for r in stored:
            test.assertIs(r.queue, c)
        seen.extend(stored)
    test.assertEqual(len(seen), len(set(map(id, seen))))
    for r in requests:
        test.assertTrue(r.queue is None or r in seen)


class IterationMutationTest(unittest.TestCase):
    def test_every_kind_survives_changes_while_iterated(self):
        mutations = (lambda c, rs: c.pop(), lambda c, rs: c.clear(), lambda c, rs: c.delete(list(c)[-1]),
                     lambda c, rs: [c.push(r) for r in make_requests(type(c), 40)],
                     lambda c, rs: (c.pop(), c.push(make_requests(type(c), 1)[0])))
        for kind in ALL_CONTAINERS:
            for mutate in mutations:
                c, requests = fill(kind)
                it = iter(c)
                next(it)
                mutate(c, requests)
                try:
                    for r in it:
                        self.assertIs(r.queue, c)  # never a request it no longer holds
                except RuntimeError as error:
                    self.assertIn("mutated during iteration", str(error))
                    self.assertIn(kind, (ext.RequestDEQFIFO, ext.RequestListFIFO, ext.RequestListStack))
                assert_consistent(self, [c], requests)

    def test_deque_and_lists_raise_like_collections_deque(self):
        for kind in (ext.RequestDEQFIFO, ext.RequestListFIFO, ext.RequestListStack):
            c, _ = fill(kind)
            it = iter(c)
            next(it)
            c.clear()
            self.assertRaises(RuntimeError, next, it)


class MoveMutationTest(unittest.TestCase):
    def target_with(self, behaviour, base=ext.RequestListFIFO):
        class Target(base):
            calls = 0

            def push(self, request):
                Target.calls += 1
                return behaviour(self, request, Target.calls)
        return Target()

    def test_failed_push_loses_nothing(self):
        def fail_third(target, request, calls):
            if calls == 3:
                raise KeyError("refused")
            ext.RequestListFIFO.push(target, request)
        for kind in ALL_CONTAINERS:
            source, requests = fill(kind)
            target = self.target_with(fail_third)
            self.assertRaises(KeyError, source.moveTo, target)
            self.assertEqual(len(target), 2)
            if kind in HEAPS:  # the heaps drop the failed request, as their rules say
                self.assertEqual(len(source), 3)
            else:
                self.assertEqual(len(source), 4)
                self.assertEqual(sum(r.queue is None for r in requests), 0)
                self.assertIs(source.get(), source.get())
            assert_consistent(self, [source, target], requests)
            source.moveTo(ext.RequestListFIFO())  # the rest still moves
            self.assertEqual(len(source), 0)

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
                assert_consistent(self, [source, target], requests)
                self.assertEqual(len(source) + len(target) + sum(r.queue is None for r in requests)
                                 - (0 if kind in HEAPS else 0), len(requests))

    def test_move_reports_unchanged_length_while_running(self):
        seen = []
        for kind in CONTAINERS:
            source, _ = fill(kind, 3)
            target = self.target_with(lambda t, r, n: (seen.append(len(source)), ext.RequestListFIFO.push(t, r)))
            source.moveTo(target)
            self.assertEqual(seen[-3:], [3, 3, 3])


class MemoryTest(unittest.TestCase):
    def test_cycles_through_containers_and_iterators_are_collected(self):
        for kind in ALL_CONTAINERS:
            def build(marker):
                c, requests = fill(kind, 3)
                requests[0].val = c
                requests[1].parent = requests[2]
                requests[2].val = marker
                it = iter(c)
                next(it)
                del it  # a live iterator keeps the cycle only while it lives
            self.assertTrue(freed_after_collect(build), kind.__name__)

    def test_million_request_chain_releases_flat(self):
        head = None
        for _ in range(1000000):
            head = ext.Request(prev=head)
        del head

    def test_soak_leaves_memory_where_it_started(self):
        for kind in ALL_CONTAINERS:
            c = kind()
            requests = make_requests(kind, 64)
            for r in requests:
                c.push(r)
            tracer = None
            if PY3:
                import tracemalloc as tracer
                gc.collect()
                tracer.start()
                before = tracer.get_traced_memory()[0]
            push, pop = c.push, c.pop
            for _ in range(SOAK // 2):
                push(pop())
            c.clear()
            for r in requests:
                c.push(r)
            if tracer is not None:
                gc.collect()
                grown = tracer.get_traced_memory()[0] - before
                tracer.stop()
                self.assertLess(grown, 4096, kind.__name__)
            self.assertEqual(len(c), 64)


if __name__ == "__main__":
    unittest.main()
