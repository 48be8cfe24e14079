# The layer reproduces its recorded outputs exactly (tests/golden.py): the
# example models, 100 random models and the error messages.
import difflib
import unittest

from tests import golden


class GoldenTest(unittest.TestCase):
    maxDiff = None

    def same(self, name):
        produced, expected = getattr(golden, name.replace("-", "_"))(), golden.read(name)
        if produced != expected:
            diff = difflib.unified_diff(expected.splitlines(), produced.splitlines(), "golden", "now", lineterm="", n=0)
            self.fail("%s differs from %s:\n%s" % (name, golden.path(name), "\n".join(list(diff)[:40])[:6000]))

    def test_examples(self):
        self.same("examples")

    def test_random_models(self):
        self.same("random-models")

    def test_errors(self):
        self.same("errors")


if __name__ == "__main__":
    unittest.main()
