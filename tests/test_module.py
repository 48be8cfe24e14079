# The module surface: published names, documentation strings, type names and
# bases, and the two process utilities (exercised in child processes).
import unittest

from vorm import ext
from tests.support import ALL_CONTAINERS, HEAPS, PY3, run_child

PUBLISHED = ["Request", "RequestArray", "RequestArrayStack", "RequestDEQFIFO", "RequestListFIFO",
             "RequestListStack", "LinkedRequest", "PriorityRequest", "RequestBinaryHeap", "TimeRequest",
             "TimeRequestBinaryHeap", "PriorityQueue"]
FUNCTIONS = ["RequestIDInitialize", "dt", "pt", "qt", "dnorm", "pnorm", "qnorm", "terminateProcess",
             "loadLibrary"]


class SurfaceTest(unittest.TestCase):
    def test_published_names(self):
        public = sorted(name for name in dir(ext) if not name.startswith("_"))
        self.assertEqual(public, sorted(PUBLISHED + FUNCTIONS))
        self.assertEqual(ext.__doc__, "vorm.ext module")
        for name in FUNCTIONS:
            self.assertIn(getattr(ext, name).__doc__, ("", None))  # Python 3 reports "" as None

    def test_type_names_docs_and_bases(self):
        for name in PUBLISHED:
            kind = getattr(ext, name)
            self.assertEqual(kind.__name__, name)
            if name == "RequestBinaryHeap":
                self.assertEqual(kind.__module__, "vorm.ext.PriorityRequest")
                self.assertEqual(kind.__doc__, "vorm.ext.RequestBinaryHeap objects")
            elif name == "PriorityQueue":
                self.assertEqual((kind.__module__, kind.__doc__), ("vorm.ext", "PriorityQueue objects"))
            else:
                self.assertEqual((kind.__module__, kind.__doc__), ("vorm.ext", "vorm.ext.%s objects" % name))
        container = ext.RequestArray.__bases__[0]
        self.assertEqual((container.__name__, container.__doc__),
                         ("RequestContainer", "vorm.ext.RequestContainer objects"))
        self.assertRaises(TypeError, container)
        for name in ("RequestArray", "RequestDEQFIFO", "RequestListFIFO", "RequestBinaryHeap",
                     "TimeRequestBinaryHeap"):
            self.assertIs(getattr(ext, name).__bases__[0], container)
        self.assertIs(ext.RequestArrayStack.__bases__[0], ext.RequestArray)
        self.assertIs(ext.RequestListStack.__bases__[0], ext.RequestListFIFO)
        self.assertIs(ext.TimeRequest.__bases__[0], ext.PriorityRequest)
        self.assertFalse(issubclass(ext.PriorityQueue, container))

    def test_every_container_type_defines_the_whole_method_set(self):
        # CPython 3.11+ specialises a call of a C method only for instances of
        # the type that defines it, so the stacks must not inherit theirs.
        methods = set(["push", "create", "get", "pop", "delete", "empty", "clear", "moveTo"])
        for kind in ALL_CONTAINERS:
            self.assertEqual(set(n for n in vars(kind) if callable(getattr(kind, n)) and not n.startswith("_")),
                             methods | (set(["merge"]) if kind in HEAPS else set()), kind)
        self.assertIsNot(ext.RequestArrayStack.push, ext.RequestArray.push)

    def test_iterator_types_are_hidden(self):
        iterators = {ext.Request(): "RequestIterator", ext.RequestArray(): "RequestArrayIterator",
                     ext.RequestArrayStack(): "RequestArrayIterator", ext.RequestDEQFIFO(): "RequestDEQFIFOIterator",
                     ext.RequestListStack(): "RequestListFIFOIterator",
                     ext.RequestBinaryHeap(): "RequestBinaryHeapIterator",
                     ext.TimeRequestBinaryHeap(): "TimeRequestBinaryHeapIterator"}
        for owner, name in iterators.items():
            it = iter(owner)
            self.assertEqual(type(it).__name__, name)
            self.assertIs(iter(it), it)
            self.assertEqual(type(it).__doc__, "vorm.ext.%s objects" % name)
            self.assertRaises(TypeError, type(it))
        self.assertEqual(type(iter(ext.PriorityQueue())).__doc__, "PriorityQueueIterator objects")


class ProcessUtilitiesTest(unittest.TestCase):
    def test_terminating_the_own_process(self):
        for handle in ("-1", "os.getpid()"):
            status, out = run_child("import os\nfrom vorm import ext\nprint('before')\n"
                                    "ext.terminateProcess(%s, 7)\nprint('after')" % handle)
            self.assertEqual(status, 7)
            self.assertTrue(out.endswith(" 7\n"))
            self.assertNotIn("after", out)

    def test_refused_handles_never_reach_kill(self):
        code = ("import errno, sys\nfrom vorm import ext\nfor handle in (0, -2, -12345):\n"
                "    try:\n        ext.terminateProcess(handle, 1)\n    except OSError as error:\n"
                "        sys.stdout.write('EINVAL\\n' if error.errno == errno.EINVAL else 'other\\n')\n"
                "        sys.stdout.flush()\n")
        status, out = run_child(code)
        self.assertEqual(status, 0)
        self.assertEqual(out, "0 1\nEINVAL\n-2 1\nEINVAL\n-12345 1\nEINVAL\n")

    def test_killing_another_process(self):
        code = ("import subprocess, errno, sys\nfrom vorm import ext\n"
                "child = subprocess.Popen(['sleep', '30'])\n"
                "result = ext.terminateProcess(child.pid, 5)\nsys.stdout.write('%r %d\\n' % (result, child.wait()))\n"
                "done = subprocess.Popen(['true'])\ndone.wait()\n"
                "try:\n    ext.terminateProcess(done.pid, 0)\nexcept OSError as error:\n"
                "    sys.stdout.write('ESRCH %s\\n' % (error.errno == errno.ESRCH))\n")
        status, out = run_child(code)
        lines = out.splitlines()
        self.assertEqual(status, 0, out)
        self.assertEqual(lines[1], "None -9")
        self.assertEqual(lines[3], "ESRCH True")

    def test_load_library(self):
        self.assertIs(ext.loadLibrary("libm.so.6"), None)
        with self.assertRaises(OSError) as cm:
            ext.loadLibrary("/nonexistent/libnothing.so")
        self.assertIn("libnothing.so", str(cm.exception))
        self.assertRaises(TypeError, ext.loadLibrary, 3)
        if PY3:
            self.assertIs(ext.loadLibrary(b"libm.so.6"), None)


if __name__ == "__main__":
    unittest.main()
