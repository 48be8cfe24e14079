# Runs the suite with the interpreter that runs this file and ends with a
# line "RESULT <passed> <failed> <skipped>" for tools/run-tests and
# tools/sanitize:
#
#     PYTHONPATH=. python tests/run.py [test names...]
#
# Each test file runs in a child process of its own, under a memory cap and a
# time limit, so that a fault that makes a container grow without bound, a
# hang or a crash costs one file, is named with the test that was running, and
# counts as a failure, while the other files still run:
#
#   VORM_TEST_MEMORY_MB   the resident size any one process of a file may
#                         reach (default 1024, 4096 under a sanitizer)
#   VORM_TEST_SECONDS     the run time of a file (default 120, plus the
#                         fuzzer's VORM_FUZZ_SECONDS)
#
# The defaults are several times what the suite needs: the biggest file,
# test_adversarial.py, peaks at about 150 MB resident in 7 s, and at 800 MB in
# 12 s under AddressSanitizer with the plain allocator (make sanitize); the
# fuzzer runs as long as it is told.
#
# The parent watches the resident size of every process of the child's process
# group. Without a sanitizer the child also caps its data segment
# (RLIMIT_DATA) at the same size, so that an allocation beyond it fails at
# once with MemoryError in the test that made it; AddressSanitizer reserves
# terabytes of shadow memory and cannot start under such a limit.
import os
import re
import signal
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1024 * 1024
POLL = 0.1  # seconds between two looks at the child's resident sizes


def sanitized():
    """Whether a sanitizer runtime is loaded in this process."""
    try:
        with open("/proc/self/maps") as handle:
            return re.search(r"lib(hw)?[atm]san", handle.read()) is not None
    except IOError:
        return "san" in os.environ.get("LD_PRELOAD", "")


def memory_cap():
    default = 4096 if sanitized() else 1024
    return int(os.environ.get("VORM_TEST_MEMORY_MB", default)) * MB


def time_limit():
    default = 120 + float(os.environ.get("VORM_FUZZ_SECONDS", "3"))
    return float(os.environ.get("VORM_TEST_SECONDS", default))


# The child: one test file (or the named tests of one file).

class _Counting(unittest.TextTestResult):
    """Counts as the summary needs, and keeps the status file current: the
    test that runs, and the counts so far, for the parent to read if the
    child dies."""

    passed = 0
    status = None
    cap = 0

    def _counts(self):
        failed = len(self.failures) + len(self.errors) + len(getattr(self, "unexpectedSuccesses", []))
        # Counted, not derived from testsRun: since 3.12 that leaves out the
        # tests of a class skipped whole, which the skips still include.
        return self.passed + len(self.expectedFailures), failed, len(self.skipped)

    def _note(self, line):
        self.status.write(line + "\n")
        self.status.flush()

    def startTest(self, test):
        self._note("test %s" % test.id())
        super(_Counting, self).startTest(test)

    def stopTest(self, test):
        super(_Counting, self).stopTest(test)
        self._note("counts %d %d %d" % self._counts())

    def addSuccess(self, test):
        super(_Counting, self).addSuccess(test)
        self.passed += 1

    def addError(self, test, err):
        super(_Counting, self).addError(test, err)
        if self.cap and issubclass(err[0], MemoryError):
            self.stream.writeln("\n%s: MemoryError, perhaps the data segment cap of %d MB (VORM_TEST_MEMORY_MB)"
                                % (test.id(), self.cap // MB))


def child(status_path, names):
    if ROOT not in sys.path:
        sys.path.insert(0, ROOT)
    cap = 0
    if not sanitized():
        import resource
        cap = memory_cap()
        resource.setrlimit(resource.RLIMIT_DATA, (cap, cap))
    try:
        import faulthandler
    except ImportError:  # Python 2: a hang is reported without the stack
        faulthandler = None
    if faulthandler is not None:
        # The parent asks for the stacks before it ends a child that ran out
        # of time.
        faulthandler.register(signal.SIGUSR1, all_threads=True)
    status = open(status_path, "w")
    _Counting.status = status
    _Counting.cap = cap
    suite = unittest.TestLoader().loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=1, resultclass=_Counting).run(suite)
    status.write("done %d %d %d\n" % result._counts())
    # Its own high-water mark: the usage that wait4 reports would include
    # the parent's, which the fork copied.
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith("VmHWM:"):
                status.write("peak %d\n" % (int(line.split()[1]) * 1024))
    status.close()
    return 0


# The parent.

def test_files():
    return sorted(name[:-3] for name in os.listdir(HERE) if name.startswith("test_") and name.endswith(".py"))


def group_by_file(names):
    """[(label, names)] in the order given: each name goes with the first
    names of the same test file; a name that is no test file's runs alone."""
    groups = []
    for name in names:
        parts = name.split(".")
        label = name
        for i in range(1, len(parts) + 1):
            if os.path.isfile(os.path.join(ROOT, *parts[:i]) + ".py"):
                label = "/".join(parts[:i]) + ".py"
                break
        for group_label, group in groups:
            if group_label == label:
                group.append(name)
                break
        else:
            groups.append((label, [name]))
    return groups


def group_processes(group):
    """{pid: resident bytes} of the live processes of a process group."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except (IOError, OSError, IndexError):
            continue  # gone meanwhile
        # After the name: state ppid pgrp ... and the resident pages 22nd.
        if int(fields[2]) == group and fields[0] != "Z":
            found[int(entry)] = int(fields[21]) * PAGE
    return found


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid) as handle:
            return " ".join(handle.read().replace("\0", " ").split())[:120]
    except (IOError, OSError):
        return "?"


def read_status(path):
    """(the test that ran last, (passed, failed, skipped) so far, whether the
    file finished, the child's own peak resident size or 0)."""
    test, counts, done, peak = None, (0, 0, 0), False, 0
    try:
        with open(path) as handle:
            lines = handle.read().splitlines()
    except IOError:
        lines = []
    for line in lines:
        words = line.split()
        if len(words) == 2 and words[0] == "test":
            test = words[1]
        elif len(words) == 4 and words[0] in ("counts", "done"):
            counts = tuple(int(word) for word in words[1:])
            done = words[0] == "done"
        elif len(words) == 2 and words[0] == "peak":
            peak = int(words[1])
    return test, counts, done, peak


def run_file(label, names, cap, limit):
    """Runs one file's tests in a child; returns (passed, failed, skipped, peak
    resident bytes of any one of its processes, seconds, problem or None)."""
    import subprocess
    handle, status_path = tempfile.mkstemp(prefix="vorm-test-", suffix=".status")
    os.close(handle)
    started = time.time()
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", status_path] + names,
                               preexec_fn=os.setpgrp)
    peak, problem, status = 0, None, None
    try:
        while True:
            pid, status = os.waitpid(process.pid, os.WNOHANG)
            if pid:
                process.returncode = status  # reaped here
                break
            sizes = group_processes(process.pid)
            if sizes:
                biggest = max(sizes, key=sizes.get)
                peak = max(peak, sizes[biggest])
                if sizes[biggest] > cap:
                    who = "the test process" if biggest == process.pid else "its process %d (%s)" % (
                        biggest, command_line(biggest))
                    problem = "killed: %s reached %d MB resident, over the cap of %d MB (VORM_TEST_MEMORY_MB)" % (
                        who, sizes[biggest] // MB, cap // MB)
            if problem is None and time.time() - started > limit:
                problem = "killed: still running after %d s, the limit (VORM_TEST_SECONDS)" % limit
                try:
                    os.kill(process.pid, signal.SIGUSR1)  # its stacks, where it can give them
                    time.sleep(1.0)
                except OSError:
                    pass
            if problem is not None:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except OSError:
                    pass
                pid, status = os.waitpid(process.pid, 0)
                process.returncode = status
                break
            time.sleep(POLL)
    finally:
        if process.returncode is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:
                pass
    # Whatever a killed file left running in its group goes too.
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass
    test, (passed, failed, skipped), done, own_peak = read_status(status_path)
    peak = max(peak, own_peak)
    os.remove(status_path)
    if problem is None and os.WIFSIGNALED(status):
        problem = "crashed: signal %d" % os.WTERMSIG(status)
    elif problem is None and not done:
        problem = "ended before its tests did, exit status %d" % os.WEXITSTATUS(status)
    if problem is not None:
        failed += 1
        if test is not None:
            problem += ", in %s" % test
    return passed, failed, skipped, peak, time.time() - started, problem


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3:])
    if ROOT not in sys.path:
        sys.path.insert(0, ROOT)
    # Ended from outside, it ends the running file's process group too (the
    # finally of run_file); an interrupt from the terminal reaches this
    # process alone, the child runs in a group of its own.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    from vorm import _kernel, ext
    sys.stdout.write("vorm.ext: %s\n" % os.path.abspath(ext.__file__))
    sys.stdout.write("vorm._kernel: %s\n" % os.path.abspath(_kernel.__file__))
    sys.stdout.flush()
    names = sys.argv[1:]
    if names:
        groups = group_by_file(names)
    else:
        groups = [("tests/%s.py" % name, ["tests." + name]) for name in test_files()]
    cap, limit = memory_cap(), time_limit()
    # Where the child caps its data segment, that cap should hit first (a
    # MemoryError in the test, and the file goes on); the resident size, which
    # also counts the mapped code, is the backstop.
    resident_cap = cap if sanitized() else cap + cap // 4
    totals = [0, 0, 0]
    problems = []
    for label, group in groups:
        passed, failed, skipped, peak, seconds, problem = run_file(label, group, resident_cap, limit)
        totals = [totals[0] + passed, totals[1] + failed, totals[2] + skipped]
        line = "%s: %d passed, %d failed, %d skipped in %.1f s, peak %d MB resident" % (
            label, passed, failed, skipped, seconds, peak // MB)
        if problem is not None:
            line += "; " + problem
            problems.append("%s: %s" % (label, problem))
        sys.stdout.write(line + "\n")
        sys.stdout.flush()
    # Each names its file first, never "(" as unittest's own FAILED line
    # does: tools/run-tests and tools/sanitize pick them out by that.
    for problem in problems:
        sys.stdout.write("FAILED %s\n" % problem)
    sys.stdout.write("RESULT %d %d %d\n" % tuple(totals))
    sys.stdout.flush()
    return 0 if totals[1] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
