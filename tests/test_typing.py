# The type stubs (vorm/*.pyi) against the package as it runs (stubtest),
# and mypy --strict on the stubs, on annotated models (tests/typing/*.py,
# which must also run) and on misuses it must report, each marked in its
# file (tests/typing/misuse/*.py) by a comment "# E: <error code>" on the
# line mypy must report. Needs mypy and its stubtest (Debian's for
# /usr/bin/python3); skips where they cannot be imported.
import glob
import os
import re
import subprocess
import sys
import unittest

import vorm

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "vorm")
TYPING = os.path.join(ROOT, "tests", "typing")
ALLOWLIST = os.path.join(TYPING, "stubtest-allowlist.txt")
# The misuses the stubs exist to catch; each has its file.
MISUSES = ["facility_capacity", "facility_line", "facility_sim", "hold_text", "interval_text", "replicate_count",
           "run_until", "seize_priority"]
ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: (?P<message>.*?)(  \[(?P<code>[a-z-]+)\])?$")
MARK = re.compile(r"#\s*E:\s*([a-z-]+)\s*$")


def _why_not():
    """Why the checks cannot run here, or None."""
    try:
        import mypy.api  # noqa: F401
        import mypy.stubtest  # noqa: F401
    except ImportError as error:
        return "mypy with stubtest is not importable (%s)" % (error,)
    # stubtest compares the stubs with the modules this interpreter imports:
    # they must be the ones beside the stubs.
    if os.path.dirname(os.path.abspath(vorm.__file__)) != PACKAGE:
        return "vorm is imported from %s, not from beside its stubs" % (os.path.dirname(vorm.__file__),)
    return None


def _run(arguments, timeout=300):
    env = dict(os.environ)
    env["PYTHONPATH"] = ROOT
    child = subprocess.Popen([sys.executable] + arguments, cwd=ROOT, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
    out, _ = child.communicate(timeout=timeout)
    return child.returncode, out


def _relative(*parts):
    return os.path.relpath(os.path.join(*parts), ROOT)


class StubFilesTest(unittest.TestCase):
    def test_every_module_has_its_stub(self):
        # mypy reads a module's stub in preference to its source, so with a
        # stub for each it never checks the 2.7-compatible bodies.
        modules = [os.path.basename(path)[:-3] for path in glob.glob(os.path.join(PACKAGE, "*.py"))]
        missing = [name for name in sorted(modules) if not os.path.exists(os.path.join(PACKAGE, name + ".pyi"))]
        self.assertEqual(missing, [])


@unittest.skipIf(_why_not() is not None, _why_not() or "")
class TypingTest(unittest.TestCase):
    errors = None
    output = ""

    @classmethod
    def setUpClass(cls):
        models = sorted(glob.glob(os.path.join(TYPING, "*.py")))
        misuses = sorted(glob.glob(os.path.join(TYPING, "misuse", "*.py")))
        status, cls.output = _run(["-m", "mypy", "--strict", "--show-error-codes", "--no-color-output",
                                   "--cache-dir", _relative(ROOT, "build", "mypy-cache"), "vorm"] +
                                  [_relative(path) for path in models + misuses])
        cls.errors = {}
        for line in cls.output.splitlines():
            match = ERROR.match(line)
            if match:
                path = os.path.normpath(match.group("path"))
                cls.errors.setdefault(path, []).append((int(match.group("line")), match.group("code")))
        cls.status = status

    def errors_in(self, path):
        return self.errors.get(os.path.normpath(_relative(path)), [])

    def report_of(self, path):
        """What mypy said about the file at path."""
        name = os.path.normpath(_relative(path))
        return "\n".join(line for line in self.output.splitlines() if os.path.normpath(line.split(":")[0]) == name)

    def test_mypy_ran(self):
        # 1 is for the errors of the misuses; 2 would be a crash or a bad option.
        self.assertEqual(self.status, 1, self.output)
        self.assertTrue(re.search(r"^Found \d+ errors? in \d+ files? \(checked \d+ source files\)$", self.output,
                                  re.M), self.output)

    def test_the_stubs_are_strict_clean(self):
        found = dict((path, lines) for path, lines in self.errors.items() if path.startswith("vorm" + os.sep))
        self.assertEqual(found, {}, self.output)

    def test_annotated_models_are_strict_clean(self):
        models = sorted(glob.glob(os.path.join(TYPING, "*.py")))
        self.assertTrue(len(models) >= 2)
        for path in models:
            self.assertEqual(self.errors_in(path), [], self.report_of(path))

    def test_annotated_models_run(self):
        for path in sorted(glob.glob(os.path.join(TYPING, "*.py"))):
            status, out = _run([path], timeout=120)
            self.assertEqual(status, 0, out)

    def test_each_misuse_is_reported_where_it_is(self):
        files = sorted(glob.glob(os.path.join(TYPING, "misuse", "*.py")))
        self.assertEqual([os.path.basename(path)[:-3] for path in files], MISUSES)
        for path in files:
            with open(path) as handle:
                expected = [(number, MARK.search(line).group(1)) for number, line in enumerate(handle, 1)
                            if MARK.search(line)]
            self.assertEqual(len(expected), 1, path)
            self.assertEqual(self.errors_in(path), expected, self.report_of(path))

    def test_the_stubs_match_the_modules_at_run_time(self):
        status, out = _run(["-m", "mypy.stubtest", "vorm", "--allowlist", _relative(ALLOWLIST)])
        self.assertEqual(status, 0, out)
        self.assertIn("Success: no issues found", out)


if __name__ == "__main__":
    unittest.main()
