# Every code block of README.md and docs/*.md runs, so that none can rot.
#
# Python blocks run in order, each page in one namespace (a block may use
# what an earlier one of its page defined); a `python3` block, written in
# syntax that Python 2 lacks (annotations), runs under every Python 3. A `print(...)` whose line ends
# in a comment must print exactly that comment: the figures the pages show
# are the ones the code makes. `>>>` blocks are doctests.
#
# Shell blocks run line by line where that is cheap and harmless (the
# examples, with the small sizes the pages give them, and their --help);
# the rest are checked against what they name: a `make` target must exist
# in the Makefile, an `apt-get install` package must be one that the
# machine's package lists know (or the line is skipped, saying why), a
# `pip install` line must be the one `make install-check` runs, and the
# commands of dask must be those that dask.distributed installs.
from __future__ import print_function

import doctest
import io
import os
import re
import shlex
import subprocess
import sys
import unittest

from vorm import ext

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = ["README.md"] + sorted(os.path.join("docs", name) for name in os.listdir(os.path.join(ROOT, "docs"))
                               if name.endswith(".md"))
FENCE = re.compile(r"^```(\w*)\s*$")
PRINT = re.compile(r"^(\s*)print\((.*)\)\s+# (.*)$")


def blocks(page):
    """(language, first line, text) of every fenced block of a page."""
    found, language, start, lines = [], None, 0, []
    with io.open(os.path.join(ROOT, page), encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            match = FENCE.match(line.rstrip("\n"))
            if language is None and match:
                language, start, lines = match.group(1) or "text", number + 1, []
            elif language is not None and line.startswith("```"):
                found.append((language, start, "".join(lines)))
                language = None
            elif language is not None:
                lines.append(line)
    return found


class Printed(object):
    """Stands in for print: checks each checked call's output."""

    def __init__(self, case, where):
        self.case, self.where, self.expected = case, where, []

    def check(self, expected, *values, **options):
        text = (options.get("sep", " ")).join(str(value) for value in values)
        self.case.assertEqual(text, expected, "%s: printed %r, the page says %r" % (self.where, text, expected))


def instrumented(text):
    """The block with every print that carries its output in a comment
    turned into a check of that output."""
    lines = []
    for line in text.splitlines():
        match = PRINT.match(line)
        if match:
            indent, args, expected = match.groups()
            line = "%s_printed.check(%r, %s)" % (indent, expected, args)
        lines.append(line)
    return "\n".join(lines) + "\n"


def python_env():
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(ext.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package_root, ROOT])
    return env


def makefile_targets():
    with open(os.path.join(ROOT, "Makefile")) as handle:
        return set(re.findall(r"^([\w-]+):", handle.read(), re.M))


def apt_known(package):
    try:
        out = subprocess.Popen(["apt-cache", "show", package], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError:
        return None
    out.communicate()
    return out.returncode == 0


class DocsTest(unittest.TestCase):
    def run_python(self, page, start, text, namespace):
        if text.lstrip().startswith(">>>"):
            parser = doctest.DocTestParser()
            test = parser.get_doctest(text, namespace, "%s:%d" % (page, start), page, start)
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
            out = io.StringIO() if sys.version_info[0] >= 3 else io.BytesIO()
            runner.run(test, out=out.write)
            self.assertEqual(runner.failures, 0, "%s:%d:\n%s" % (page, start, out.getvalue()))
            return
        namespace["_printed"] = Printed(self, "%s:%d" % (page, start))
        code = compile(instrumented(text), "%s:%d" % (page, start), "exec",
                       print_function_flag() | division_flag(), True)
        saved = sys.stdout
        sys.stdout = io.StringIO() if sys.version_info[0] >= 3 else io.BytesIO()
        try:
            exec(code, namespace)
        finally:
            sys.stdout = saved

    def run_shell(self, page, start, text):
        targets = makefile_targets()
        for offset, line in enumerate(text.splitlines()):
            command = line.split("#")[0].strip()
            if not command:
                continue
            where = "%s:%d" % (page, start + offset)
            words = shlex.split(command)
            while words and re.match(r"^[A-Z_]+=", words[0]):
                words = words[1:]
            if words[0] == "make":
                target = next((w for w in words[1:] if "=" not in w and not w.startswith("-")), "build")
                self.assertIn(target, targets, "%s: no make target %r" % (where, target))
            elif words[0] == "apt-get":
                for package in [w for w in words[2:] if not w.startswith("-")]:
                    known = apt_known(package)
                    if known is None:
                        continue
                    self.assertTrue(known, "%s: the package lists know no %r" % (where, package))
            elif words[:3] in (["pip", "install", "--no-build-isolation"], ["python", "-m", "pip"]):
                with open(os.path.join(ROOT, "tools", "install-check")) as handle:
                    self.assertIn("--no-build-isolation --no-index", handle.read(), where)
            elif words[0] in ("dask-scheduler", "dask-worker"):
                self.assertTrue(os.path.exists("/usr/bin/" + words[0]) or not dask_installed(),
                                "%s: %s is not installed with dask.distributed" % (where, words[0]))
            elif words[0] in ("python", "python3", "/usr/bin/python3") and words[1].startswith("examples/"):
                if words[0] == "/usr/bin/python3" and sys.executable != "/usr/bin/python3":
                    words[0] = sys.executable
                if "--scheduler" in words or "--workers" in words:
                    words = [words[0], words[1], "--help"]
                child = subprocess.Popen([sys.executable] + words[1:], cwd=ROOT, env=python_env(),
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                out, _ = child.communicate()
                self.assertEqual(child.returncode, 0, "%s: %s\n%s" % (where, command, out.decode("utf-8", "replace")))
            else:
                self.fail("%s: the docs test does not know how to check %r" % (where, command))

    def test_every_block_of_every_page(self):
        for page in PAGES:
            # A page may put examples/ on the path, as a reader would.
            saved = sys.path[:]
            try:
                self.run_page(page)
            finally:
                sys.path[:] = saved

    def run_page(self, page):
        namespace = {"__name__": "__docs__"}
        for language, start, text in blocks(page):
            if language == "python" or (language == "python3" and sys.version_info[0] >= 3):
                self.run_python(page, start, text, namespace)
            elif language == "python3":
                continue
            elif language in ("sh", "console"):
                self.run_shell(page, start, text)
            elif language == "text":
                continue  # output shown as it is: checked where it is made
            else:
                self.fail("%s:%d: a block of unknown language %r" % (page, start, language))


def dask_installed():
    try:
        import distributed  # noqa: F401
    except ImportError:
        return False
    return True


def print_function_flag():
    import __future__
    return __future__.print_function.compiler_flag


def division_flag():
    import __future__
    return __future__.division.compiler_flag


if __name__ == "__main__":
    unittest.main()
