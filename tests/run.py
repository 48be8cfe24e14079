# Runs the whole suite with the interpreter that runs this file and ends with
# a line "RESULT <passed> <failed> <skipped>" for tools/run-tests.
import os
import sys
import unittest


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    if root not in sys.path:
        sys.path.insert(0, root)
    names = sys.argv[1:]
    from vorm import ext
    sys.stdout.write("vorm.ext: %s\n" % os.path.abspath(ext.__file__))
    sys.stdout.flush()
    loader = unittest.TestLoader()
    if names:
        suite = loader.loadTestsFromNames(names)
    else:
        suite = loader.discover(here, pattern="test_*.py", top_level_dir=root)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    failed = len(result.failures) + len(result.errors) + len(getattr(result, "unexpectedSuccesses", []))
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    sys.stdout.write("RESULT %d %d %d\n" % (passed, failed, skipped))
    sys.stdout.flush()
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
