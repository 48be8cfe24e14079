# The request containers: the shared protocol on all seven, the order and
# gap-closing rules of the array, deque and list containers, and a randomised
# comparison against a model of those rules.
import random
import sys
import unittest

from vorm import ext
from tests.support import (ALL_CONTAINERS, CONTAINERS, HEAPS, PY3, element_type, make_requests, names)


def element_name(container_type):
    return element_type(container_type).__name__


class ProtocolTest(unittest.TestCase):
    def test_push_get_pop_and_the_back_reference(self):
        for kind in ALL_CONTAINERS:
            c, other = kind(), kind()
            a, b = make_requests(kind, 2)
            self.assertIs(c.empty(), True)
            c.push(a)
            self.assertIs(c.empty(), False)
            self.assertIs(a.queue, c)
            for target in (c, other):
                with self.assertRaises(ValueError) as cm:
                    target.push(a)
                self.assertEqual(str(cm.exception), "already in queue")
            self.assertEqual((len(c), len(other)), (1, 0))
            self.assertIs(c.get(), a)
            self.assertIs(a.queue, c)
            self.assertIs(c.pop(), a)
            self.assertIs(a.queue, None)
            for method in (c.get, c.pop):
                with self.assertRaises(IndexError) as cm:
                    method()
                self.assertEqual(str(cm.exception), "empty queue")
            other.push(a)  # free again, so it may go anywhere

    def test_type_checks_and_check_order(self):
        for kind in ALL_CONTAINERS:
            c, name = kind(), element_name(kind)
            wrong = ext.LinkedRequest() if kind in HEAPS else ext.Request()
            for method, label in ((c.push, "push"), (c.delete, "delete")):
                with self.assertRaises(TypeError) as cm:
                    method(wrong)
                self.assertEqual(str(cm.exception), "%s() argument val must be a %s" % (label, name))
            held = make_requests(kind, 1)[0]
            kind().push(held)
            with self.assertRaises(IndexError) as cm:
                c.delete(held)  # empty comes before "not in queue"
            self.assertEqual(str(cm.exception), "empty queue")
            c.push(make_requests(kind, 1)[0])
            for stranger in (held, make_requests(kind, 1)[0]):
                with self.assertRaises(ValueError) as cm:
                    c.delete(stranger)
                self.assertEqual(str(cm.exception), "not in queue")
            with self.assertRaises(TypeError) as cm:
                c.moveTo(3)
            self.assertEqual(str(cm.exception), "moveTo() argument to must be a RequestContainer")
            self.assertEqual(len(kind(1, 2, x=3)), 0)

    def test_create(self):
        for kind in ALL_CONTAINERS:
            c, other = kind(), kind()
            r = c.create(name="x")
            self.assertIs(type(r), element_type(kind))
            self.assertEqual((r.name, r.queue, len(c)), ("x", None, 0))
            self.assertIs(c.create(queue=other).queue, other)  # a claim: see the adversarial tests
            self.assertRaises(TypeError, c.create, prev=1)

    def test_move_to(self):
        for kind in ALL_CONTAINERS:
            for target_kind in ALL_CONTAINERS:
                if not issubclass(element_type(kind), element_type(target_kind)):
                    continue  # a heap refuses the simpler requests
                source, target = kind(), target_kind()
                requests = make_requests(kind, 4)
                for r in requests:
                    source.push(r)
                target.push(make_requests(kind if kind in HEAPS else target_kind, 1)[0])
                self.assertIs(source.moveTo(source), None)
                self.assertEqual(len(source), 4)
                self.assertIs(source.moveTo(target), None)
                self.assertEqual((len(source), len(target)), (0, 5))
                self.assertTrue(all(r.queue is target for r in requests))
                self.assertIs(kind().moveTo(target), None)

    def test_held_requests_keep_their_queue(self):
        for kind in ALL_CONTAINERS:
            c, other = kind(), kind()
            a, b = make_requests(kind, 2)
            c.push(a)
            c.push(b)
            for change in (lambda: setattr(a, "queue", None), lambda: setattr(a, "queue", other),
                           lambda: a.__init__(queue=None)):
                self.assertRaises(ValueError, change)
                self.assertIs(a.queue, c)
            a.queue = c  # no change at all is allowed
            a.__init__(name="renamed")  # re-initialising a held request keeps its place
            c.delete(a)
            self.assertEqual(names(c), ["r1"])
            b.__init__()
            self.assertIs(c.pop(), b)

    def test_python_subclasses(self):
        for kind in ALL_CONTAINERS:
            class Logged(kind):
                def __init__(self, label, **options):
                    kind.__init__(self)
                    self.label, self.log = label, []

                def push(self, request):
                    self.log.append(request.name)
                    kind.push(self, request)
            source, target = kind(), Logged("t", x=1)
            for r in make_requests(kind, 3):
                source.push(r)
            source.moveTo(target)
            self.assertEqual((target.label, len(target), sorted(target.log)), ("t", 3, ["r0", "r1", "r2"]))
            held = target.get()
            self.assertRaises(ValueError, setattr, held, "queue", None)  # the subclass's storage holds it
            self.assertIs(target.pop(), held)
            self.assertIsInstance(held, element_type(kind))


class OrderTest(unittest.TestCase):
    def fill(self, kind, count=3):
        c = kind()
        requests = make_requests(kind, count)
        for r in requests:
            c.push(r)
        return c, requests

    def test_move_order(self):
        # (source, target, the target's pops in terms of a, b, c pushed into the source)
        for source_kind, target_kind, expected in ((ext.RequestListStack, ext.RequestListStack, [0, 1, 2]),
                                                   (ext.RequestListFIFO, ext.RequestListFIFO, [0, 1, 2]),
                                                   (ext.RequestArray, ext.RequestArray, [2, 1, 0]),
                                                   (ext.RequestArray, ext.RequestListFIFO, [0, 1, 2]),
                                                   (ext.RequestDEQFIFO, ext.RequestListStack, [2, 1, 0])):
            source, rs = self.fill(source_kind)
            target = target_kind()
            source.moveTo(target)
            self.assertEqual([target.pop() for _ in range(3)], [rs[i] for i in expected])

    @unittest.skipUnless(PY3, "tracemalloc is Python 3 only")
    def test_deque_capacity_follows_the_count(self):
        import tracemalloc

        def act(method, *args):
            return method(*args)  # everything the deque allocates is traced to this line
        line = act.__code__.co_firstlineno + 1

        def traced():
            snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, __file__, line)])
            return sum(stat.size for stat in snapshot.statistics("lineno"))
        pointer = 8 if sys.maxsize > 2 ** 32 else 4
        rs = make_requests(ext.RequestDEQFIFO, 5)
        tracemalloc.start()
        try:
            d = act(ext.RequestDEQFIFO)
            base = traced() - pointer
            seen = []
            for method, arg in [(d.push, r) for r in rs] + [(d.pop, None)] * 5:
                act(method, arg) if arg is not None else act(method)
                seen.append((traced() - base) // pointer)
            self.assertEqual(seen, [1, 2, 4, 4, 8, 4, 4, 2, 1, 1])
            for r in rs:
                act(d.push, r)
            act(d.clear)
            self.assertEqual((traced() - base) // pointer, 1)
        finally:
            tracemalloc.stop()


class ModelTest(unittest.TestCase):
    """Random operations on each container against a list model of its rules."""

    def model_push(self, kind, model, r):
        if kind is ext.RequestListStack:
            model.insert(0, r)
        else:
            model.append(r)

    def model_take(self, kind, model):
        return model.pop() if kind in (ext.RequestArray, ext.RequestArrayStack) else model.pop(0)

    def model_delete(self, kind, model, r):
        if kind is ext.RequestArray:
            last = model.pop()
            if last is not r:
                model[model.index(r)] = last
        else:
            model.remove(r)

    def test_random_operations(self):
        rng = random.Random(7)
        for kind in CONTAINERS:
            c, model = kind(), []
            pool = make_requests(kind, 40)
            for _ in range(3000):
                op = rng.random()
                free = [r for r in pool if r.queue is None]
                if op < 0.45 and free:
                    r = rng.choice(free)
                    c.push(r)
                    self.model_push(kind, model, r)
                elif op < 0.7 and model:
                    self.assertIs(c.pop(), self.model_take(kind, model))
                elif op < 0.95 and model:
                    r = rng.choice(model)
                    c.delete(r)
                    self.model_delete(kind, model, r)
                elif op < 0.97:
                    c.clear()
                    del model[:]
                self.assertEqual(list(c), model)
                self.assertEqual(len(c), len(model))
                if kind in (ext.RequestArray, ext.RequestArrayStack):
                    self.assertEqual([c[i] for i in range(-len(model), len(model))], model + model)
                    with self.assertRaises(IndexError) as cm:
                        c[len(model)]
                    self.assertEqual(str(cm.exception), "out of range")
                if model:
                    self.assertIs(c.get(), model[-1] if kind in (ext.RequestArray, ext.RequestArrayStack)
                                  else model[0])
            self.assertTrue(all((r.queue is c) == (r in model) for r in pool))


if __name__ == "__main__":
    unittest.main()
