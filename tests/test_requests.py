# Request, LinkedRequest, PriorityRequest and TimeRequest: fields, keyword
# rules, attribute rules, chain look-ups, iteration and reprs.
import gc
import unittest

from vorm import ext
from tests.support import BIG, PY3


class RequestFieldsTest(unittest.TestCase):
    def test_defaults_of_every_kind(self):
        for kind in (ext.Request, ext.LinkedRequest, ext.PriorityRequest, ext.TimeRequest):
            r = kind()
            for field in ("parent", "prev", "val", "queue", "target", "canceled"):
                self.assertIs(getattr(r, field), None)
            self.assertEqual(r.name, "")
            self.assertEqual(r.firedTime, -1.0)

    def test_keywords_and_positions(self):
        p = ext.Request(name="p")
        r = ext.Request(p, "x")
        self.assertIs(r.parent, p)
        self.assertEqual(r.name, "x")
        r = ext.Request(priority=3.5)
        self.assertEqual(r.name, "")
        r = ext.Request(parent=None, prev=None, queue=None, firedTime=BIG)
        self.assertEqual(r.firedTime, 1e20)
        with self.assertRaises(TypeError):
            ext.Request(priority="high")
        with self.assertRaises(TypeError):
            ext.Request(1, 2, 3, 4, 5, 6.0, 7.0, 8, 9, 10)

    def test_reinitialising_changes_only_what_is_given(self):
        p, q = ext.Request(), ext.Request()
        r = ext.Request(parent=p, name="a", firedTime=4.0, target=1)
        r.__init__(val=7)
        self.assertEqual((r.parent, r.name, r.val, r.firedTime, r.target), (p, "a", 7, -1.0, 1))
        with self.assertRaises(TypeError) as cm:
            r.__init__(parent=q, prev=3)
        self.assertEqual(str(cm.exception), "The prev attribute value must be a Request")
        self.assertIs(r.parent, q)

    def test_constructor_type_checks(self):
        for kwargs, message in (({"parent": 5}, "The parent attribute value must be a Request"),
                                ({"prev": "x"}, "The prev attribute value must be a Request"),
                                ({"queue": ext.PriorityQueue()},
                                 "The queue attribute value must be a RequestContainer")):
            for kind in (ext.Request, ext.LinkedRequest, ext.PriorityRequest, ext.TimeRequest):
                with self.assertRaises(TypeError) as cm:
                    kind(**kwargs)
                self.assertEqual(str(cm.exception), message)
        for container in (ext.RequestArray(), ext.RequestListStack(), ext.TimeRequestBinaryHeap()):
            self.assertIs(ext.Request(queue=container).queue, container)

    def test_attribute_rules(self):
        r, other = ext.Request(), ext.LinkedRequest()
        r.parent = other
        r.prev = other
        r.prev = None
        r.name = 3
        r.val = r.target = r.canceled = [1]
        with self.assertRaises(TypeError) as cm:
            r.parent = None
        self.assertEqual(str(cm.exception), "The parent attribute value must be a Request")
        with self.assertRaises(TypeError) as cm:
            r.queue = 1
        self.assertEqual(str(cm.exception), "The queue attribute value must be a RequestContainer")
        for field in ("parent", "name", "prev", "val", "queue", "target", "canceled"):
            with self.assertRaises(TypeError) as cm:
                delattr(r, field)
            self.assertEqual(str(cm.exception), "Cannot delete the %s attribute" % field)
        self.assertIs(r.parent, other)

    def test_float_attributes(self):
        r, p, t = ext.Request(), ext.PriorityRequest(), ext.TimeRequest()
        for obj, field, label in ((r, "firedTime", "time"), (p, "priority", "priority"),
                                  (t, "futureTime", "futureTime")):
            for value, stored in ((3, 3.0), (True, 1.0), (2.5, 2.5)):
                setattr(obj, field, value)
                self.assertEqual(getattr(obj, field), stored)
                self.assertIs(type(getattr(obj, field)), float)
            for value in (BIG, "1", None):
                with self.assertRaises(TypeError) as cm:
                    setattr(obj, field, value)
                self.assertEqual(str(cm.exception), "The %s attribute value must be a float or integer" % label)
            self.assertEqual(getattr(obj, field), 2.5)
            with self.assertRaises(TypeError) as cm:
                delattr(obj, field)
            self.assertEqual(str(cm.exception), "Cannot delete the %s attribute" % label)


class ChainTest(unittest.TestCase):
    def setUp(self):
        self.a = ext.Request(name="a", val=1, firedTime=1.0)
        self.b = ext.Request(name="b", prev=self.a, val=2, firedTime=2.0)
        self.c = ext.Request(name="c", prev=self.b, val=3, firedTime=3.0)

    def test_lookups(self):
        c = self.c
        self.assertEqual(c.names(), ["c", "b", "a"])
        self.assertEqual(c.namesAndValues(), [("c", 3), ("b", 2), ("a", 1)])
        self.assertEqual(c.namesAndTimes(), [("c", 3.0), ("b", 2.0), ("a", 1.0)])
        self.assertEqual(c.index(self.a.name), 2)
        self.assertEqual((c.time("b"), c["a"]), (2.0, 1))
        self.assertTrue("a" in c)
        self.assertFalse("z" in c)
        self.assertEqual(list(c), [c, self.b, self.a])
        self.assertEqual(repr(c), repr(["c", "b", "a"]))
        lone = ext.Request(name="x")
        self.assertEqual((lone.names(), list(lone), repr(lone)), (["x"], [lone], repr(["x"])))

    def test_misses_and_duplicates(self):
        self.b.name = "c"
        self.assertEqual((self.c.time("c"), self.c["c"]), (3.0, 3))
        key = "".join(["al", "pha"])  # equal to, but not the same object as, a's name
        self.a.name = "".join(["alp", "ha"])
        self.assertEqual(self.c.time(key), 1.0)
        for lookup in (lambda: self.c.index(key), lambda: self.c.time("z"), lambda: self.c["z"]):
            with self.assertRaises(KeyError) as cm:
                lookup()
            self.assertEqual(cm.exception.args, ("not found",))

    def test_comparison_errors_end_the_lookup(self):
        class Touchy(object):
            def __eq__(self, other):
                raise ZeroDivisionError
            __ne__ = __eq__
            __hash__ = object.__hash__

            def __cmp__(self, other):
                raise ZeroDivisionError
        self.b.name = Touchy()
        for lookup in (lambda: self.c["a"], lambda: "a" in self.c, lambda: self.c.time("a")):
            self.assertRaises(ZeroDivisionError, lookup)

    def test_append(self):
        a, b, c, d = [ext.Request(name=n) for n in "abcd"]
        c.prev = d
        self.assertIs(a.append(b), a)
        self.assertIs(a.prev, b)
        self.assertIs(a.append(c), a)
        self.assertEqual(a.names(), ["a", "b", "c", "d"])
        self.assertIs(a.append(None), a)
        self.assertEqual(a.names(), ["a", "b", "c", "d"])
        with self.assertRaises(TypeError) as cm:
            a.append("x")
        self.assertEqual(str(cm.exception), "The other argument must be a Request")

    def test_iterator_reads_prev_when_yielding(self):
        it = iter(self.c)
        self.assertIs(next(it), self.c)
        self.c.prev = None  # already past c
        self.b.prev = None  # b not yet yielded: its prev is read when it is
        self.assertEqual(list(it), [self.b])
        self.assertEqual(list(it), [])

    def test_cyclic_chains_raise_instead_of_hanging(self):
        self.a.prev = self.c
        operations = (self.c.names, self.c.namesAndValues, self.c.namesAndTimes, lambda: self.c["z"],
                      lambda: "z" in self.c, lambda: self.c.time("z"), lambda: self.c.index("z"), lambda: repr(self.c),
                      lambda: list(self.c), lambda: self.c.append(None))
        for operation in operations:
            with self.assertRaises(RuntimeError) as cm:
                operation()
            self.assertIn("cyclic", str(cm.exception))
        self.assertEqual(self.c["b"], 2)  # a look-up that ends before the loop still succeeds
        self.a.prev = None

    def test_relinking_during_a_walk_is_not_a_cycle(self):
        # A walk may meet an element again because the chain was relinked
        # behind it, without the chain ever looping.
        it = iter(self.c)
        self.assertEqual([next(it), next(it)], [self.c, self.b])
        self.b.prev, self.a.prev = None, self.b
        self.assertEqual(list(it), [self.a, self.b])
        self.a.prev, self.b.prev = None, self.a
        test = self

        class Relinker(object):
            def __eq__(self, name):
                if name == "a" and test.a.prev is None:
                    test.b.prev, test.a.prev = None, test.b
                return False
            __hash__ = None
        self.assertFalse(Relinker() in self.c)
        self.assertEqual(self.c.names(), ["c", "b"])

    def test_other_methods(self):
        r = ext.Request()
        for method in (r.delete, r.suspend, r.resume, r.action):
            self.assertIs(method(object()), None)
            self.assertRaises(TypeError, method)
        self.assertIs(r.releaseAllFacilities(), None)
        self.assertIs(r.releaseAllFacilities(1, 2, 3), None)

    def test_get_continuation_climbs_parents(self):
        class Parent(ext.Request):
            def getContinuation(self):
                return "continue"
        self.assertEqual(ext.Request(parent=ext.Request(parent=Parent())).getContinuation(), "continue")
        for top in (ext.Request(), ext.Request(parent=ext.Request(parent=ext.LinkedRequest()))):
            self.assertRaises(AttributeError, top.getContinuation)  # the chain ends at a None parent


class LinkedRequestTest(unittest.TestCase):
    def test_repr_goes_through_names(self):
        r = ext.LinkedRequest(name="x", prev=ext.Request(name="y"))
        self.assertEqual(repr(r), repr(["x", "y"]))

        class Custom(ext.LinkedRequest):
            def names(self):
                return "custom"

        class Broken(ext.LinkedRequest):
            def names(self):
                raise ValueError("boom")
        self.assertEqual(repr(Custom()), repr("custom"))
        self.assertRaises(ValueError, repr, Broken())


class PriorityAndTimeRequestTest(unittest.TestCase):
    def test_identifiers_and_reprs(self):
        self.assertIs(ext.RequestIDInitialize(), None)
        self.assertEqual(repr(ext.PriorityRequest()), "<PriorityRequest priority=0 name='' val=None id=0>")
        ext.TimeRequest()
        ext.PriorityRequest()
        self.assertEqual(repr(ext.PriorityRequest(2.5, name="job", val=7)),
                         "<PriorityRequest priority=2.5 name='job' val=7 id=3>")
        ext.RequestIDInitialize()
        self.assertEqual(repr(ext.TimeRequest(12.5)),
                         "<TimeRequest futureTime=12.5 priority=0 name='' val=None id=0>")
        self.assertEqual(repr(ext.TimeRequest(1234567.0, -1.0, name=u"\xe9")),
                         "<TimeRequest futureTime=1.23457e+06 priority=-1 name=%r val=None id=1>" % u"\xe9")
        heap = ext.RequestBinaryHeap()
        self.assertIn("id=2>", repr(heap.create()))
        self.assertFalse(hasattr(ext.PriorityRequest(), "id"))

    def test_keyword_orders_and_reinit(self):
        p = ext.PriorityRequest(3)
        self.assertEqual(p.priority, 3.0)
        self.assertEqual(ext.PriorityRequest(priority=BIG).priority, 1e20)
        t = ext.TimeRequest(10, 2)
        self.assertEqual((t.futureTime, t.priority), (10.0, 2.0))
        t = ext.TimeRequest(priority=2)
        self.assertEqual((t.futureTime, t.priority), (0.0, 2.0))
        t = ext.TimeRequest(7.0, 3.0, val=1, firedTime=3.0)
        t.__init__(name="x")
        self.assertEqual((t.futureTime, t.priority, t.firedTime, t.name, t.val), (0.0, 0.0, -1.0, "x", 1))
        with self.assertRaises(TypeError) as cm:
            ext.PriorityRequest(parent=5)
        self.assertEqual(str(cm.exception), "The parent attribute value must be a Request")


class MemoryTest(unittest.TestCase):
    @unittest.skipUnless(PY3, "tracemalloc is Python 3 only")
    def test_create_link_lookup_drop_leaves_memory_where_it_was(self):
        import tracemalloc

        def churn(count):
            for i in range(count):
                r = ext.TimeRequest(i, name="n", prev=ext.LinkedRequest(name="m"))
                r.time("m")
                r.names()
                r.prev.prev = ext.Request()
        churn(1000)
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            churn(100000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        self.assertLess(grown, 64 * 1024)


if __name__ == "__main__":
    unittest.main()
