# RequestBinaryHeap and TimeRequestBinaryHeap: service order, tie-breaks,
# NaN rules, merge, moveTo, and a randomised comparison of the array layout
# against a model of the sift steps.
import random
import unittest

from vorm import ext

NAN = float("nan")


def priority_precedes(a, b):
    if a[0] == b[0]:
        return b[1] > a[1]
    return a[0] > b[0]


def time_precedes(a, b):
    if a[2] == b[2]:
        return priority_precedes(a, b)
    return a[2] < b[2]


class HeapModel(object):
    """The heap steps on (priority, id, futureTime, request) records."""

    def __init__(self, precedes):
        self.items, self.precedes = [], precedes

    def sift_up(self, i):
        while i > 0:
            parent = (i - 1) // 2
            if not self.precedes(self.items[i], self.items[parent]):
                return
            self.items[i], self.items[parent] = self.items[parent], self.items[i]
            i = parent

    def sift_down(self, i):
        items = self.items
        while True:
            child = 2 * i + 1
            if child >= len(items):
                return
            if child + 1 < len(items) and self.precedes(items[child + 1], items[child]):
                child += 1
            if not self.precedes(items[child], items[i]):
                return
            items[i], items[child] = items[child], items[i]
            i = child

    def push(self, record):
        self.items.append(record)
        self.sift_up(len(self.items) - 1)

    def remove_at(self, i):
        last = self.items.pop()
        if i < len(self.items):
            self.items[i] = last
            if i > 0 and self.precedes(self.items[i], self.items[(i - 1) // 2]):
                self.sift_up(i)
            else:
                self.sift_down(i)

    def position(self, request):
        return [record[3] for record in self.items].index(request)

    def refresh(self):
        # the heap reads keys from the requests themselves
        self.items = [(r.priority, ident, getattr(r, "futureTime", 0.0), r) for _, ident, _, r in self.items]


class HeapOrderTest(unittest.TestCase):
    def test_priority_order_and_ties(self):
        heap = ext.RequestBinaryHeap()
        for p in (1, 3, 2):
            heap.push(ext.PriorityRequest(p))
        self.assertEqual([r.priority for r in heap], [3.0, 1.0, 2.0])
        served = []
        while not heap.empty():
            top = heap.get()
            self.assertIs(heap.pop(), top)
            served.append(top.priority)
        self.assertEqual(served, [3.0, 2.0, 1.0])
        a, b = ext.PriorityRequest(name="a"), ext.PriorityRequest(name="b")
        heap.push(b)
        heap.push(a)
        ext.RequestIDInitialize()
        young = ext.PriorityRequest(name="young")  # id 0: smaller than a's and b's
        heap.push(young)
        self.assertEqual([heap.pop().name for _ in range(3)], ["young", "a", "b"])

    def test_time_order_and_ties(self):
        heap = ext.TimeRequestBinaryHeap()
        first = ext.TimeRequest(2.0, 1.0, name="first")
        for t, p, name in ((5, 9, "late"), (1, 0, "early"), (2, 1, "second"), (2, 5, "urgent")):
            heap.push(ext.TimeRequest(t, p, name=name))
        heap.push(first)
        self.assertEqual([heap.pop().name for _ in range(5)], ["early", "urgent", "first", "second", "late"])
        ordered = ext.RequestBinaryHeap()
        for t, p in ((1, 1), (2, 3)):
            ordered.push(ext.TimeRequest(t, p))
        self.assertEqual(ordered.pop().priority, 3.0)  # a priority heap ignores the time

    def test_messages(self):
        for heap, own, other, wrong in ((ext.RequestBinaryHeap(), "RequestBinaryHeap", ext.TimeRequestBinaryHeap(),
                                         ext.LinkedRequest()),
                                        (ext.TimeRequestBinaryHeap(), "TimeRequestBinaryHeap",
                                         ext.RequestBinaryHeap(), ext.PriorityRequest())):
            with self.assertRaises(TypeError) as cm:
                heap.merge(other)
            self.assertEqual(str(cm.exception), "merge() argument other must be a %s" % own)
            self.assertRaises(TypeError, heap.push, wrong)
            self.assertIs(heap.merge(heap), None)

    def test_create(self):  # merge is compared with the model below
        heap = ext.RequestBinaryHeap()
        made = heap.create(5.0, name="x")
        self.assertEqual((type(made), made.priority, made.name, made.queue, len(heap)),
                         (ext.PriorityRequest, 5.0, "x", None, 0))
        timed = ext.TimeRequestBinaryHeap().create(4.0, 1.0)
        self.assertEqual((type(timed), timed.futureTime, timed.priority), (ext.TimeRequest, 4.0, 1.0))

    def test_move_to_hands_over_in_service_order(self):  # failing targets: see the adversarial tests
        heap, fifo = ext.RequestBinaryHeap(), ext.RequestListFIFO()
        for p in (2, 9, 5):
            heap.push(ext.PriorityRequest(p))
        heap.moveTo(fifo)
        self.assertEqual([r.priority for r in fifo], [9.0, 5.0, 2.0])


class HeapModelTest(unittest.TestCase):
    def run_model(self, heap_type, precedes, request_type):
        rng = random.Random(11)
        ext.RequestIDInitialize()
        pool = [request_type() for _ in range(60)]
        ids = dict((id(r), i) for i, r in enumerate(pool))
        heap, other, model = heap_type(), heap_type(), HeapModel(precedes)
        keys = [0.0, 1.0, 2.0, NAN]
        for _ in range(4000):
            op = rng.random()
            free = [r for r in pool if r.queue is None]
            if op < 0.4 and free:
                r = rng.choice(free)
                r.priority = rng.choice(keys)
                if request_type is ext.TimeRequest:
                    r.futureTime = rng.choice(keys)
                heap.push(r)
                model.push((r.priority, ids[id(r)], getattr(r, "futureTime", 0.0), r))
            elif op < 0.6 and model.items:
                self.assertIs(heap.pop(), model.items[0][3])
                model.remove_at(0)
            elif op < 0.8 and model.items:
                r = rng.choice(model.items)[3]
                heap.delete(r)
                model.remove_at(model.position(r))
            elif op < 0.85 and model.items:
                rng.choice(model.items)[3].priority = rng.choice(keys)  # no reordering
                model.refresh()
            elif op < 0.9 and free:
                for r in free[:3]:
                    other.push(r)
                for r in list(other):
                    model.push((r.priority, ids[id(r)], getattr(r, "futureTime", 0.0), r))
                heap.merge(other)
            self.assertEqual(list(heap), [record[3] for record in model.items])
        for r in heap:
            self.assertIs(r.queue, heap)

    def test_priority_heap_matches_model(self):
        self.run_model(ext.RequestBinaryHeap, priority_precedes, ext.PriorityRequest)

    def test_time_heap_matches_model(self):
        self.run_model(ext.TimeRequestBinaryHeap, time_precedes, ext.TimeRequest)


if __name__ == "__main__":
    unittest.main()
