# PriorityQueue: the exact heap layout, the protocol's edges, and what
# happens when a key comparison raises or uses the queue being sifted.
import gc
import operator
import random
import sys
import unittest
import weakref

from vorm.ext import PriorityQueue

PY2 = sys.version_info[0] == 2


# A pure-Python rendering of the push-heap / pop-heap procedures on a list of
# (key, item) pairs; "greater" is the only test, as in the queue.
def model_sift_up(heap, hole, entry):
    while hole > 0:
        parent = (hole - 1) // 2
        if not heap[parent][0] > entry[0]:
            break
        heap[hole] = heap[parent]
        hole = parent
    heap[hole] = entry


def model_push(heap, key, item):
    heap.append(None)
    model_sift_up(heap, len(heap) - 1, (key, item))


def model_pop(heap):
    top, last = heap[0], heap[-1]
    bottom = len(heap) - 1
    if bottom > 0:
        hole, child = 0, 2
        while child < bottom:
            if heap[child][0] > heap[child - 1][0]:
                child -= 1
            heap[hole] = heap[child]
            hole, child = child, 2 * child + 2
        if child == bottom:
            heap[hole] = heap[bottom - 1]
            hole = bottom - 1
        model_sift_up(heap, hole, last)
    heap.pop()
    return top[1]


class Item(object):
    pass


class Key(object):
    """An int key; Key.arm(n, action) runs action once, at the n-th comparison call from now."""
    trap = None  # [calls left, action]

    def __init__(self, value):
        self.value = value

    @staticmethod
    def arm(after, action):
        Key.trap = [after, action]

    def _compare(self, other, op):
        trap = Key.trap
        if trap is not None:
            trap[0] -= 1
            if trap[0] == 0:
                Key.trap = None
                trap[1]()
        return op(self.value, other.value)

    # Python 2's three-way comparison tries ==, < and > in turn.
    __eq__ = lambda self, other: self._compare(other, operator.eq)
    __lt__ = lambda self, other: self._compare(other, operator.lt)
    __gt__ = lambda self, other: self._compare(other, operator.gt)
    __hash__ = None


# Helpers, so that no loop variable of a Python 2 list comprehension keeps an
# extra reference to an item in the caller.
def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def occurrences(q, objects):
    held = list(q)
    return [held.count(o) for o in objects]


class OrderTest(unittest.TestCase):
    def test_documented_orders(self):
        q = PriorityQueue()
        for key, item in [(3, 'a'), (1, 'b'), (2, 'c'), (1, 'd'), (1, 'e'), (2, 'f')]:
            q.push(key, item)
        self.assertEqual(list(q), list('bdcaef'))
        self.assertEqual([q.pop() for _ in range(6)], list('bdecfa'))
        for item in 'abcdef':
            q.push(5, item)
        self.assertEqual([q.pop() for _ in range(6)], list('acfebd'))
        q.push((1, 3), 'later')
        q.push((1, 2), 'sooner')
        self.assertEqual(q.pop(), 'sooner')

    def test_random_operations_match_model(self):
        rng = random.Random(1234)
        for keys in (3, 8):
            q, heap = PriorityQueue(), []
            for serial in range(600):
                if heap and rng.random() < 0.45:
                    self.assertEqual(q.pop(), model_pop(heap))
                else:
                    key = rng.randint(0, keys)
                    q.push(key, serial)
                    model_push(heap, key, serial)
                self.assertEqual(list(q), [item for _, item in heap])
            while heap:
                self.assertEqual(q.pop(), model_pop(heap))


class ProtocolTest(unittest.TestCase):
    def test_empty_queue_and_arguments(self):
        q = PriorityQueue(1, 2, x=3)
        self.assertTrue(q.empty())
        for method in (q.get, q.pop):
            with self.assertRaises(IndexError) as cm:
                method()
            self.assertEqual(str(cm.exception), 'empty queue')
        for args in ((1,), (1, 2, 3)):
            self.assertRaises(TypeError, q.push, *args)
        self.assertEqual(len(q), 0)
        q.push(1, 'x')
        q.push(1, 'x')
        self.assertFalse(q.empty())
        self.assertEqual((len(q), q.get(), len(q)), (2, 'x', 2))
        self.assertEqual((q.pop(), len(q)), ('x', 1))

    def test_iterator_outlives_pops_and_queue(self):
        q = PriorityQueue()
        for key in range(4):
            q.push(key, key * 10)
        it = iter(q)
        self.assertEqual(next(it), 0)
        del q  # the iterator keeps the queue
        self.assertEqual((list(it), list(it)), ([10, 20, 30], []))

    def test_cycle_through_key_is_collected(self):
        class Node(object):
            pass
        q = PriorityQueue()
        node = Node()
        node.queue = q
        items = [Item() for _ in range(3)]
        for i, item in enumerate(items):
            q.push([i, node], item)
        refs = list(map(weakref.ref, [node] + items))
        del q, node, items, item
        gc.collect()
        self.assertEqual([r() for r in refs], [None] * 4)


# Popping this heap makes three comparisons on the way down and three on the way up.
VALUES = [8, 6, 9, 6, 6, 0, 2, 0, 6, 6, 7, 1, 3, 2, 2]
EXTRA = len(VALUES)  # the index of the item that no queue holds at first


class ComparisonTest(unittest.TestCase):
    """Each case runs the action at the 1st, 2nd, ... comparison call of the
    operation, until the operation gets through without reaching it. The model
    holds item indices, so that only the queue holds references to items."""

    def interrupt(self, operation, action, error, message):
        after = 1
        while True:
            items = [Item() for _ in range(EXTRA + 1)]
            base = refcounts(items)
            q, heap = PriorityQueue(), []
            for index, value in enumerate(VALUES):
                q.push(Key(value), items[index])
                model_push(heap, value, index)
            expected = action(None, list(heap), None)
            Key.arm(after, lambda: action(q, None, items))
            try:
                operation(q, items)
            except error as e:
                self.assertEqual(str(e), message)
            else:
                self.assertIsNotNone(Key.trap, 'the action ran and the operation went on')
                Key.trap = None
                self.assertGreater(after, 3)
                return
            # The failed operation left exactly what the action alone leaves,
            # and every item is referenced once per entry that holds it.
            self.assertEqual(list(q), [items[index] for _, index in expected])
            counts = [b + n for b, n in zip(base, occurrences(q, items))]
            self.assertEqual(refcounts(items), counts)
            while expected:
                self.assertIs(q.pop(), items[model_pop(expected)])
            after += 1

    def push_new(self, q, items):
        q.push(Key(-1), items[EXTRA])

    def pop(self, q, items):
        q.pop()

    def test_raising_comparison(self):
        def boom(q, heap, items):
            if q is not None:
                raise ValueError('boom')
            return heap
        self.interrupt(self.push_new, boom, ValueError, 'boom')
        self.interrupt(self.pop, boom, ValueError, 'boom')

    def test_comparison_changing_the_queue(self):
        def push(q, heap, items):
            if q is not None:
                return q.push(Key(4), items[EXTRA])
            model_push(heap, 4, EXTRA)
            return heap

        def pop(q, heap, items):
            if q is not None:
                return q.pop()
            model_pop(heap)
            return heap

        def drain(q, heap, items):
            while q is not None and len(q):
                q.pop()
            return []
        message = 'PriorityQueue changed during a comparison'
        for operation in (self.pop, self.push_new):
            for action in (push, pop, drain):
                self.interrupt(operation, action, RuntimeError, message)

    def test_unorderable_keys(self):
        q = PriorityQueue()
        item = Item()
        base = sys.getrefcount(item)
        q.push(1, 'int')
        if PY2:
            q.push('a', item)
            self.assertEqual([q.pop(), q.pop()], ['int', item])
            return
        with self.assertRaises(TypeError):
            q.push('a', item)
        self.assertEqual((list(q), sys.getrefcount(item)), (['int'], base))
        q.push(0, 'first')
        self.assertEqual([q.pop(), q.pop()], ['first', 'int'])

        class Any(object):
            __lt__ = __gt__ = lambda self, other: False
        q = PriorityQueue()
        q.push(Any(), 'any')
        q.push(1, 'int')
        q.push('a', item)  # compared with Any() only
        with self.assertRaises(TypeError):
            q.pop()
        self.assertEqual(list(q), ['any', 'int', item])


if __name__ == '__main__':
    unittest.main()
