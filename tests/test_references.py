# Reference counts of what the core hands out. Every method, getter and
# iterator that returns an object the core stores (a request in a container,
# an item of a PriorityQueue, a field of a request, an element or name of a
# chain) must give the caller exactly one new reference, or, when it takes the
# object out (pop), the container's own; nothing may be left once the caller
# lets go. A missing increment frees the object while it is still stored, and
# nothing else notices until some later use happens to crash.
import sys
import unittest

from vorm import ext
from tests.support import ALL_CONTAINERS, Marker, make_requests


# Helpers, so that no loop variable of a Python 2 list comprehension keeps an
# extra reference in the caller.
def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def position(objects, obj):
    for i, candidate in enumerate(objects):
        if candidate is obj:
            return i
    raise AssertionError("%r is none of the stored objects" % (obj,))


def push_all(container, requests):
    for r in requests:
        container.push(r)


def raised(counts, indices):
    counts = list(counts)
    for i in indices:
        counts[i] += 1
    return counts


class ReferenceCase(unittest.TestCase):
    def assertHandsOut(self, stored, fetch, label, moves=False):
        """fetch() returns stored with one new reference, or with moves the
        reference its container gave up; after del nothing of it is left."""
        before = sys.getrefcount(stored)
        got = fetch()
        self.assertIs(got, stored, label)
        held = sys.getrefcount(stored)
        del got
        after = sys.getrefcount(stored)
        self.assertEqual((held - before, after - before), (0, -1) if moves else (1, 0), label)

    def assertIterationHandsOut(self, iterable, objects, label):
        """Each element an iterator yields carries one reference of its own,
        which is gone once it and the iterator are: checked for every step,
        with the iterator dropped first (it may keep its position alive) and
        with it kept to the end."""
        before = refcounts(objects)
        for step in range(len(objects)):
            iterator = iter(iterable)
            for _ in range(step):
                next(iterator)
            got = next(iterator)
            i = position(objects, got)
            del iterator
            self.assertEqual(refcounts(objects), raised(before, [i]), (label, step))
            del got
            self.assertEqual(refcounts(objects), before, (label, step))
        iterator = iter(iterable)
        seen = list(iterator)
        self.assertEqual(sorted(map(id, seen)), sorted(map(id, objects)), label)
        del seen, iterator
        self.assertEqual(refcounts(objects), before, label)

    def assertListHolds(self, objects, make, label):
        """make() returns a new list whose contents hold each of objects once
        (the names, or the pairs of a name list)."""
        before = refcounts(objects)
        got = make()
        self.assertEqual(refcounts(objects), raised(before, range(len(objects))), label)
        del got
        self.assertEqual(refcounts(objects), before, label)


class ContainerReferenceTest(ReferenceCase):
    def fill(self, kind, count):
        c = kind()
        requests = make_requests(kind, count)
        base = refcounts(requests)
        push_all(c, requests)
        self.assertEqual(refcounts(requests), raised(base, range(count)), kind.__name__)
        return c, requests, base

    def test_get_index_and_iteration(self):
        for kind in ALL_CONTAINERS:
            for count in (1, 2, 5):
                label = "%s of %d" % (kind.__name__, count)
                c, requests, base = self.fill(kind, count)
                first = requests[position(requests, c.get())]
                self.assertHandsOut(first, c.get, label + ": get")
                del first
                if issubclass(kind, ext.RequestArray):
                    for index in range(-count, count):
                        stored = requests[position(requests, c[index])]
                        self.assertHandsOut(stored, lambda: c[index], "%s: [%d]" % (label, index))
                    del stored
                self.assertIterationHandsOut(c, requests, label + ": iteration")
                self.assertEqual(refcounts(requests), raised(base, range(count)), label)
                c.clear()
                self.assertEqual(refcounts(requests), base, label + ": clear")

    def test_pop_hands_over_the_container_reference(self):
        for kind in ALL_CONTAINERS:
            for count in (1, 2, 5):
                label = "%s of %d" % (kind.__name__, count)
                c, requests, base = self.fill(kind, count)
                while len(c):
                    stored = requests[position(requests, c.get())]
                    self.assertHandsOut(stored, c.pop, label + ": pop", moves=True)
                    del stored
                self.assertEqual(refcounts(requests), base, label)

    def test_the_queue_of_a_request(self):
        for kind in ALL_CONTAINERS:
            c, other = kind(), kind()
            held, claim = make_requests(kind, 2)
            c.push(held)
            claim.queue = other
            self.assertHandsOut(c, lambda: held.queue, kind.__name__ + ": queue of a held request")
            self.assertHandsOut(other, lambda: claim.queue, kind.__name__ + ": queue of a claim")


class PriorityQueueReferenceTest(ReferenceCase):
    def fill(self, count):
        q = ext.PriorityQueue()
        keys = [float(i) + 0.5 for i in range(count)]
        items = [Marker() for _ in range(count)]
        base = refcounts(keys), refcounts(items)
        for key, item in zip(keys, items):
            q.push(key, item)
        return q, keys, items, base

    def test_get_and_iteration(self):
        for count in (1, 2, 5):
            q, keys, items, (key_base, item_base) = self.fill(count)
            first = items[position(items, q.get())]
            self.assertHandsOut(first, q.get, "get of %d" % count)
            del first
            self.assertIterationHandsOut(q, items, "iteration of %d" % count)
            self.assertEqual(refcounts(keys), raised(key_base, range(count)), count)

    def test_pop_hands_over_the_item_and_lets_the_key_go(self):
        for count in (1, 2, 5):
            q, keys, items, (key_base, item_base) = self.fill(count)
            while len(q):
                stored = items[position(items, q.get())]
                self.assertHandsOut(stored, q.pop, "pop of %d" % count, moves=True)
                del stored
            self.assertEqual((refcounts(keys), refcounts(items)), (key_base, item_base), count)


class Parent(ext.Request):
    """A parent whose continuation is an object it stores."""

    def getContinuation(self):
        return self.continuation


class RequestReferenceTest(ReferenceCase):
    def test_fields(self):
        for kind in (ext.Request, ext.LinkedRequest, ext.PriorityRequest, ext.TimeRequest):
            r = kind()
            values = {"parent": ext.Request(), "prev": ext.Request(), "name": Marker(), "val": Marker(),
                      "target": Marker(), "canceled": Marker()}
            for field, value in values.items():
                setattr(r, field, value)
            for field, value in values.items():
                self.assertHandsOut(value, lambda: getattr(r, field), "%s.%s" % (kind.__name__, field))

    def chain(self, length=4):
        """head, the chain's requests head first, their names and their vals."""
        names = [Marker() for _ in range(length)]
        vals = [Marker() for _ in range(length)]
        requests = []
        prev = None
        for i in reversed(range(length)):
            prev = ext.Request(name=names[i], val=vals[i], prev=prev)
            requests.insert(0, prev)
        del prev
        return requests[0], requests, names, vals

    def test_chain_look_ups_and_iteration(self):
        head, requests, names, vals = self.chain()
        for i in range(len(requests)):
            self.assertHandsOut(vals[i], lambda: head[names[i]], "subscript %d" % i)
        self.assertIterationHandsOut(head, requests, "chain iteration")
        self.assertIterationHandsOut(requests[2], requests[2:], "chain iteration from the middle")
        self.assertHandsOut(head, lambda: head.append(None), "append returns self")

    def test_name_lists(self):
        head, requests, names, vals = self.chain()
        self.assertListHolds(names, head.names, "names")
        self.assertListHolds(names + vals, head.namesAndValues, "namesAndValues")
        self.assertListHolds(names, head.namesAndTimes, "namesAndTimes")
        self.assertListHolds(names[1:], requests[1].names, "names from the middle")

    def test_continuation(self):
        parent = Parent()
        parent.continuation = Marker()
        child = ext.Request(parent=parent)
        grandchild = ext.Request(parent=child)
        self.assertHandsOut(parent.continuation, child.getContinuation, "getContinuation")
        self.assertHandsOut(parent.continuation, grandchild.getContinuation, "getContinuation, two levels")


if __name__ == "__main__":
    unittest.main()
