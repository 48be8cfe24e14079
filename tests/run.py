# Runs the whole suite with the interpreter that runs this file and ends with
# a line "RESULT <passed> <failed> <skipped>" for tools/run-tests.
import os
import sys
import unittest


class _Counting(unittest.TextTestResult):
    passed = 0

    def addSuccess(self, test):
        super(_Counting, self).addSuccess(test)
        self.passed += 1


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    if root not in sys.path:
        sys.path.insert(0, root)
    names = sys.argv[1:]
    from vorm import _kernel, ext
    sys.stdout.write("vorm.ext: %s\n" % os.path.abspath(ext.__file__))
    sys.stdout.write("vorm._kernel: %s\n" % os.path.abspath(_kernel.__file__))
    sys.stdout.flush()
    loader = unittest.TestLoader()
    if names:
        suite = loader.loadTestsFromNames(names)
    else:
        suite = loader.discover(here, pattern="test_*.py", top_level_dir=root)
    result = unittest.TextTestRunner(verbosity=1, resultclass=_Counting).run(suite)
    failed = len(result.failures) + len(result.errors) + len(getattr(result, "unexpectedSuccesses", []))
    skipped = len(result.skipped)
    # Counted, not derived from testsRun: since 3.12 that leaves out the
    # tests of a class skipped whole, which the skips still include.
    passed = result.passed + len(result.expectedFailures)
    sys.stdout.write("RESULT %d %d %d\n" % (passed, failed, skipped))
    sys.stdout.flush()
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
