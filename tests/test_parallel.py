# Replications and sweeps on worker processes: the serial numbers from a
# local pool and from a dask.distributed cluster (a LocalCluster of two
# worker processes on 127.0.0.1), a worker that dies, and the errors that
# must come before anything is dispatched.
import csv
import io
import logging
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from vorm import WorkerLost, parallel, replicate, seed_for, sweep
from vorm.parallel import SchedulerUnreachable, add_arguments, executor, executor_for

from tests.test_replicate import mm1

try:
    import distributed
except ImportError:
    distributed = None

try:
    from concurrent.futures import ProcessPoolExecutor
except ImportError:
    ProcessPoolExecutor = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY3 = sys.version_info[0] >= 3


def fragile(seed, victim, folder, pause=0.05, every=False):
    """mm1, except that the first run of seed `victim` (or every one)
    kills its own process, as the kernel's out-of-memory killer would."""
    time.sleep(pause)
    if seed == victim:
        mark = os.path.join(folder, "killed")
        if every or not os.path.exists(mark):
            open(mark, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
    return mm1(seed, customers=100)


def marked(seed, folder, arrival=0.5, extra=None):
    """mm1 that leaves a file behind for every run, to count them."""
    open(os.path.join(folder, "%d-%r" % (seed, arrival)), "w").close()
    return mm1(seed, arrival=arrival, customers=50)


def finishes(test, seconds, call):
    """What call() raised (None if nothing), failing the test if it takes
    longer than `seconds`: a hang must not hang the suite."""
    outcome = []

    def run():
        try:
            call()
            outcome.append(None)
        except BaseException as error:
            outcome.append(error)
    thread = threading.Thread(target=run)
    thread.daemon = True
    thread.start()
    thread.join(seconds)
    if thread.is_alive():
        test.fail("still running after %d s" % seconds)
    return outcome[0]


def free_port():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    listener.close()
    return port


def example_env():
    env = dict(os.environ)
    # The example loads the same build of vorm as this process (a sanitized
    # one lives outside the tree).
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(parallel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package_root, ROOT])
    return env


def start_example(options, timeout):
    """examples/sweep.py as a child process, run as its user would run it
    but with `timeout` for vorm.parallel.CONNECT_TIMEOUT."""
    sweep_py = os.path.join(ROOT, "examples", "sweep.py")
    code = ("import runpy, sys; sys.path.insert(0, %r); import vorm.parallel; vorm.parallel.CONNECT_TIMEOUT = %r; "
            "sys.argv[0] = 'sweep.py'; runpy.run_path(%r, run_name='__main__')" % (
                os.path.dirname(sweep_py), timeout, sweep_py))
    return subprocess.Popen([sys.executable, "-c", code] + list(options), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=example_env())


def error_lines(err):
    """The lines of standard error, the progress line's texts left out."""
    lines = []
    for line in err.splitlines():
        text = line.split("\r")[-1].strip()
        if text and not text.startswith("replications: "):
            lines.append(text)
    return lines


def run_example(*options):
    env = dict(os.environ)
    # The example loads the same build of vorm as this process (a sanitized
    # one lives outside the tree).
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(parallel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package_root, ROOT])
    child = subprocess.Popen([sys.executable, os.path.join(ROOT, "examples", "sweep.py")] + list(options),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    out, err = child.communicate()
    return child.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


class TempFolder(object):
    def setUp(self):
        self.folder = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.folder)


class LocalPoolTest(TempFolder, unittest.TestCase):
    def test_serial_numbers_from_every_local_pool(self):
        grid = {"arrival": [0.4, 0.8], "customers": [60, 120]}
        serial = replicate(mm1, 5, seed=9, params={"customers": 80}, progress=False).outputs
        serial_sweep = sweep(mm1, grid, 3, seed=9, progress=False).rows()
        with executor(workers=2) as pool:
            self.assertEqual(replicate(mm1, 5, seed=9, params={"customers": 80}, executor=pool,
                                       progress=False).outputs, serial)
            # Far more jobs than workers: they travel in batches.
            self.assertEqual(sweep(mm1, grid, 3, seed=9, executor=pool, progress=False).rows(), serial_sweep)
        if ProcessPoolExecutor is not None:
            with ProcessPoolExecutor(2) as pool:
                self.assertEqual(sweep(mm1, grid, 3, seed=9, executor=pool, progress=False).rows(), serial_sweep)

    def test_a_dead_worker_ends_the_run_with_an_error(self):
        params = {"victim": seed_for(4, 3), "folder": self.folder}
        pools = [("local_pool", lambda: parallel.local_pool(2)), ("multiprocessing.Pool", None)]
        # Before 3.7 the executor's own bookkeeping can break on a dead
        # worker (its management thread dies of queue.Full) and hang: that
        # pool is only checked where it reports the death.
        if ProcessPoolExecutor is not None and sys.version_info >= (3, 7):
            pools.append(("ProcessPoolExecutor", lambda: ProcessPoolExecutor(2)))
        for name, make in pools:
            os.path.exists(os.path.join(self.folder, "killed")) and os.remove(os.path.join(self.folder, "killed"))
            caught = []
            if make is None:
                # A pool of the caller's: the run terminates it, or its
                # close() and join() would wait for the lost task forever.
                pool = multiprocessing.Pool(2)

                def call():
                    try:
                        replicate(fragile, 8, seed=4, params=params, executor=pool, progress=False)
                    except WorkerLost as error:
                        caught.append(error)
                        pool.close()
                        pool.join()
                        raise
            else:
                def call():
                    with make() as pool:
                        try:
                            sweep(fragile, {"pause": [0.05, 0.02]}, 4, seed=4, params=params, executor=pool,
                                  progress=False)
                        except WorkerLost as error:
                            caught.append(error)
                            raise
            error = finishes(self, 60, call)
            self.assertIsInstance(error, WorkerLost, name)
            self.assertEqual(caught, [error], name)
            self.assertIn("of 8 had finished", str(error), name)
            if "Executor" not in name:
                self.assertIn("killed by signal %d (SIGKILL)" % signal.SIGKILL, str(error), name)

    def test_nothing_dispatched_that_cannot_be_sent(self):
        def nested(seed):
            return {"x": 1.0}
        with executor(workers=2) as pool:
            for model in (lambda seed: {"x": 1.0}, nested):
                with self.assertRaises(TypeError) as cm:
                    sweep(model, {"a": [1, 2]}, 2, executor=pool, progress=False)
                self.assertIn("cannot be sent to worker processes", str(cm.exception))
            # One bad value at the last point of the grid stops the sweep
            # before its first point runs.
            with self.assertRaises(TypeError) as cm:
                sweep(marked, [("arrival", [0.3, 0.6]), ("extra", [None, threading.Lock()])], 3,
                      params={"folder": self.folder}, executor=pool, progress=False)
            self.assertIn("parameter extra=", str(cm.exception))
            self.assertEqual(os.listdir(self.folder), [])
            # Without worker processes nothing needs pickling.
            sweep(marked, {"extra": [threading.Lock()]}, 2, params={"folder": self.folder}, progress=False)
            self.assertEqual(len(os.listdir(self.folder)), 2)


class SweepTest(unittest.TestCase):
    def test_points_share_the_seeds_of_replicate(self):
        result = sweep(mm1, [("customers", [40, 80]), ("arrival", [0.3, 0.6, 0.9])], 4, seed=21,
                       params={}, progress=False)
        self.assertEqual(result.names, ["customers", "arrival"])
        self.assertEqual([(p["customers"], p["arrival"]) for p in result.points],
                         [(40, 0.3), (40, 0.6), (40, 0.9), (80, 0.3), (80, 0.6), (80, 0.9)])
        for point, replications in zip(result.points, result.replications):
            alone = replicate(mm1, 4, seed=21, params=point, progress=False)
            self.assertEqual(replications.outputs, alone.outputs)
            self.assertEqual(replications.seeds, alone.seeds)
        self.assertIs(result.at(arrival=0.6, customers=80), result.replications[4])
        rows = result.rows()
        self.assertEqual(len(rows), 6 * 2)
        self.assertIn([80, 0.6, "busy", result.replications[4].mean("busy"),
                       result.replications[4].half_width("busy"), 4], rows[8:10])

    def test_text_and_csv(self):
        result = sweep(mm1, [("arrival", [0.25, 0.5]), ("customers", [30])], 3, seed=2, progress=False)
        lines = result.table().splitlines()
        self.assertEqual(lines[0].split(), ["arrival", "customers", "output", "mean", "+/-", "(95", "%)", "n"])
        wait = [line.split() for line in lines[3:] if "wait" in line][0]
        self.assertEqual(wait[:3], ["0.5", "30", "wait"])
        self.assertAlmostEqual(float(wait[3]), result.replications[1].mean("wait"), places=4)
        stream = io.StringIO() if PY3 else io.BytesIO()
        result.write_csv(stream)
        rows = list(csv.reader(stream.getvalue().splitlines()))
        self.assertEqual(rows[0], ["arrival", "customers", "output", "mean", "half_width", "n"])
        # Every digit survives the round trip.
        self.assertEqual([[float(r[0]), int(r[1]), r[2], float(r[3]), float(r[4]), int(r[5])] for r in rows[1:]],
                         result.rows())

    def test_bad_grids(self):
        for grid, error in (({}, ValueError), ({"arrival": 0.5}, TypeError), ({"arrival": "0.5"}, TypeError),
                            ({"arrival": []}, ValueError), ([("arrival", [1]), ("arrival", [2])], ValueError)):
            with self.assertRaises(error):
                sweep(mm1, grid, 2, progress=False)
        with self.assertRaises(ValueError):
            sweep(mm1, {"arrival": [0.5]}, 2, params={"arrival": 0.4})
        with self.assertRaises(ValueError):
            sweep(mm1, {"arrival": [0.5]}, 0)
        result = sweep(mm1, {"arrival": [0.5]}, 2, params={"customers": 10}, progress=False)
        self.assertRaises(KeyError, result.at, arrival=0.7)
        self.assertRaises(KeyError, result.at, servers=1)


class ArgumentsTest(unittest.TestCase):
    def parse_loudly(self, *argv):
        import argparse
        parser = argparse.ArgumentParser()
        add_arguments(parser)
        return parser.parse_args(list(argv))

    def parse(self, *argv):
        import argparse
        parser = argparse.ArgumentParser()
        add_arguments(parser)
        saved, sys.stderr = sys.stderr, io.StringIO() if PY3 else io.BytesIO()
        try:
            return parser.parse_args(list(argv))
        finally:
            sys.stderr = saved

    def test_options(self):
        args = self.parse()
        self.assertEqual((args.workers, args.scheduler), (None, None))
        with executor_for(args) as serial:
            self.assertIsNone(serial)
        for argv in (["--workers", "0"], ["--workers", "two"], ["--workers", "2", "--scheduler", "tcp://h:1"]):
            self.assertRaises(SystemExit, self.parse, *argv)
        with self.assertRaises(ValueError):
            with executor(workers=2, scheduler="tcp://127.0.0.1:1"):
                pass

    def test_example_gives_the_serial_table_on_two_workers(self):
        folder = tempfile.mkdtemp()
        try:
            tables = []
            for options in ([], ["--workers", "2"]):
                path = os.path.join(folder, "%d.csv" % len(options))
                code, out, err = run_example("--load", "0.5", "0.8", "--servers", "1", "2", "--replications", "3",
                                             "--customers", "200", "--warmup", "20", "--csv", path, *options)
                self.assertEqual(code, 0, err)
                with open(path) as stream:
                    tables.append(stream.read())
            self.assertIn("in 2 local worker processes", out)
        finally:
            shutil.rmtree(folder)
        self.assertEqual(tables[0], tables[1])
        self.assertEqual(len(tables[0].splitlines()), 1 + 2 * 2 * 3)

    def test_scheduler_addresses(self):
        for text, address in (("127.0.0.1:8786", "tcp://127.0.0.1:8786"), ("tcp://host.example:1", "tcp://host.example:1"),
                              (" TCP://10.0.0.2:65535 ", "tcp://10.0.0.2:65535"), ("[::1]:8786", "tcp://[::1]:8786"),
                              ("tcp://[fe80::1%eth0]:8786", "tcp://[fe80::1%eth0]:8786")):
            self.assertEqual(parallel.scheduler_address(text), address)
            self.assertEqual(self.parse("--scheduler", text).scheduler, address)
        for text, why in (("127.0.0.1", "has no port"), ("tcp://127.0.0.1", "has no port"), ("h:0", "from 1 to 65535"),
                          ("h:65536", "from 1 to 65535"), ("h:port", "from 1 to 65535"), ("h:-1", "from 1 to 65535"),
                          ("h:8786/", "from 1 to 65535"), ("udp://h:8786", "not udp://"), ("tls://h:8786", "not tls://"),
                          ("::1:8786", "in brackets"), ("[::1]", "no [IPv6 address]:PORT"),
                          ("[::1]8786", "no [IPv6 address]:PORT"), ("[127.0.0.1]:8786", "no [IPv6 address]:PORT"),
                          (":8786", "no valid host"), ("tcp://:8786", "no valid host"), ("a b:1", "no valid host"),
                          ("user@h:1", "no valid host"), ("", "has no port")):
            with self.assertRaises(ValueError) as cm:
                parallel.scheduler_address(text)
            self.assertIn(why, str(cm.exception))
            stderr = io.StringIO() if PY3 else io.BytesIO()
            saved, sys.stderr = sys.stderr, stderr
            try:
                self.assertRaises(SystemExit, self.parse_loudly, "--scheduler", text)
            finally:
                sys.stderr = saved
            self.assertIn("error: argument --scheduler: %r" % text, stderr.getvalue())
            # Refused before dask is imported, so also where it is missing.
            with self.assertRaises(ValueError):
                with executor(scheduler=text):
                    pass

    def test_a_bad_scheduler_ends_the_example_with_one_line(self):
        started = time.time()
        code, out, err = run_example("--scheduler", "127.0.0.1", "--replications", "2")
        self.assertLess(time.time() - started, 10)
        self.assertEqual(code, 2)
        self.assertNotIn("Traceback", err)
        self.assertEqual([line for line in err.splitlines() if "error" in line], [
            "sweep.py: error: argument --scheduler: '127.0.0.1' has no port; give HOST:PORT, such as "
            "tcp://127.0.0.1:8786 or [::1]:8786"])
        if distributed is None:
            code, out, err = run_example("--scheduler", "127.0.0.1:8786", "--replications", "2")
            self.assertEqual(code, 1)
            self.assertEqual(len(error_lines(err)), 1, err)
            self.assertIn("python3-distributed", err)

    @unittest.skipIf(distributed is not None, "dask.distributed is installed here")
    def test_a_scheduler_without_dask(self):
        entered = []
        with self.assertRaises(ImportError) as cm:
            with executor(scheduler="tcp://127.0.0.1:8786"):
                entered.append(True)
        self.assertIn("python3-distributed", str(cm.exception))
        self.assertEqual(entered, [])


# The leak hunt (make refleak) counts every reference of a debug interpreter,
# and dask's event-loop threads, which outlive the cluster, would move that
# count under every test after this one; make test runs these.
@unittest.skipIf(distributed is None, "dask.distributed is not importable here")
@unittest.skipIf(hasattr(sys, "gettotalrefcount"), "a debug interpreter hunting reference leaks")
class DaskTest(TempFolder, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                               scheduler_port=0, dashboard_address="127.0.0.1:0",
                                               silence_logs=logging.CRITICAL)
        cls.address = cls.cluster.scheduler_address

    @classmethod
    def tearDownClass(cls):
        cls.cluster.close()

    def lost_tasks(self):
        events = self.cluster.scheduler.get_events("all")
        return sum(len(msg.get("processing-tasks", ())) for _, msg in events if msg.get("action") == "remove-worker")

    def test_cluster_gives_the_serial_numbers(self):
        grid = {"arrival": [0.4, 0.8], "customers": [60, 120]}
        serial = replicate(mm1, 6, seed=9, params={"customers": 80}, progress=False).outputs
        serial_sweep = sweep(mm1, grid, 3, seed=9, progress=False).rows()
        with executor(scheduler=self.address) as cluster:
            self.assertEqual(type(cluster).__name__, "ClientExecutor")
            self.assertEqual(replicate(mm1, 6, seed=9, params={"customers": 80}, executor=cluster,
                                       progress=False).outputs, serial)
            self.assertEqual(sweep(mm1, grid, 3, seed=9, executor=cluster, progress=False).rows(), serial_sweep)
        # The example's model lives in its __main__, which the workers never
        # imported: dask sends it by value.
        path = os.path.join(self.folder, "cluster.csv")
        code, out, err = run_example("--load", "0.5", "--servers", "1", "2", "--replications", "3", "--customers",
                                     "100", "--warmup", "10", "--csv", path, "--scheduler", self.address)
        self.assertEqual(code, 0, err)
        self.assertIn("on the dask cluster at %s" % self.address, out)
        code, out, err = run_example("--load", "0.5", "--servers", "1", "2", "--replications", "3", "--customers",
                                     "100", "--warmup", "10", "--csv", "-")
        with open(path) as stream:
            self.assertEqual(stream.read(), out[out.index("load,servers"):])

    def test_a_killed_worker_loses_nothing(self):
        params = {"victim": seed_for(6, 2), "folder": self.folder, "pause": 0.2}
        serial = replicate(fragile, 8, seed=6, params=dict(params, victim=None, pause=0.0), progress=False).outputs
        lost = self.lost_tasks()
        with executor(scheduler=self.address) as cluster:
            result = replicate(fragile, 8, seed=6, params=params, executor=cluster, progress=False)
        self.assertTrue(os.path.exists(os.path.join(self.folder, "killed")))
        # The scheduler saw the worker go with the replication it ran ...
        self.assertGreater(self.lost_tasks(), lost)
        # ... and ran it again elsewhere.
        self.assertEqual(result.outputs, serial)

    def test_nothing_dispatched_that_cannot_be_sent(self):
        with executor(scheduler=self.address) as cluster:
            # dask itself could send a lambda, a local pool could not: the
            # same model must run everywhere or nowhere.
            with self.assertRaises(TypeError) as cm:
                replicate(lambda seed: {"x": 1.0}, 2, executor=cluster, progress=False)
            self.assertIn("cannot be sent to worker processes", str(cm.exception))
            with self.assertRaises(TypeError) as cm:
                sweep(marked, [("arrival", [0.3, 0.6]), ("extra", [None, threading.Lock()])], 3,
                      params={"folder": self.folder}, executor=cluster, progress=False)
            self.assertIn("parameter extra=", str(cm.exception))
        self.assertEqual(os.listdir(self.folder), [])

    def test_unreachable_scheduler(self):
        address = "tcp://127.0.0.1:%d" % free_port()
        entered = []
        started = time.time()
        with self.assertRaises(SchedulerUnreachable) as cm:
            with executor(scheduler=address, timeout=1.5):
                entered.append(True)
        # Nothing listens there: no need to wait for the timeout.
        self.assertLess(time.time() - started, 1.0)
        self.assertIn(address, str(cm.exception))
        self.assertEqual(entered, [])
        # A scheduler that answers but has no worker would keep a run
        # waiting forever.
        empty = distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp://", host="127.0.0.1", scheduler_port=0,
                                         dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL)
        try:
            with self.assertRaises(SchedulerUnreachable) as cm:
                with executor(scheduler=empty.scheduler_address, timeout=1.0):
                    entered.append(True)
            self.assertIn("has no workers", str(cm.exception))
        finally:
            empty.close()
        self.assertEqual(entered, [])

    def test_a_replication_that_kills_every_worker_ends_the_run(self):
        params = {"victim": seed_for(5, 2), "folder": self.folder, "pause": 0.0, "every": True}
        started = time.time()
        with self.assertRaises(WorkerLost) as cm:
            with executor(scheduler=self.address) as cluster:
                replicate(fragile, 6, seed=5, params=params, executor=cluster, progress=False)
        self.assertLess(time.time() - started, 30)
        self.assertIn("the replication of seed %d took down 4 workers" % params["victim"], str(cm.exception))
        self.assertIn("KilledWorker", str(cm.exception))
        # The nannies start new workers for the tests after this one.
        with distributed.Client(self.address, set_as_default=False) as client:
            client.wait_for_workers(2, timeout=30)


def start_process(argv):
    return subprocess.Popen([sys.executable] + argv, stdout=open(os.devnull, "w"), stderr=subprocess.STDOUT,
                            env=example_env())


def wait_for_port(port, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 1.0).close()
            return
        except (OSError, IOError):
            time.sleep(0.1)
    raise AssertionError("nothing listens on port %d after %d s" % (port, seconds))


@unittest.skipIf(distributed is None, "dask.distributed is not importable here")
@unittest.skipIf(hasattr(sys, "gettotalrefcount"), "a debug interpreter hunting reference leaks")
class ClusterFailureTest(unittest.TestCase):
    """The example run as its user runs it, against a scheduler and a worker
    started as dask's own programs, one of which is killed while
    replications run: it must end with one line of error, no traceback and
    no wait beyond the connection timeout (1 s here)."""

    def setUp(self):
        self.port = free_port()
        self.address = "tcp://127.0.0.1:%d" % self.port
        self.scheduler = start_process(["-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port",
                                        str(self.port), "--dashboard-address", "127.0.0.1:0"])
        self.addCleanup(self.stop, self.scheduler)
        wait_for_port(self.port)
        # No nanny: a worker killed stays dead, as when its machine goes.
        self.worker = start_process(["-m", "distributed.cli.dask_worker", self.address, "--no-nanny", "--nthreads",
                                     "1", "--dashboard-address", "127.0.0.1:0"])
        self.addCleanup(self.stop, self.worker)

    def stop(self, process):
        if process.poll() is None:
            process.kill()
        process.wait()

    def run_and_kill(self, victim):
        """Starts a long sweep on the cluster, kills `victim` once the run's
        progress line shows, and returns (exit status, standard error,
        seconds from the kill to the end of the run)."""
        child = start_example(["--scheduler", self.address, "--load", "0.9", "--servers", "1", "--replications",
                               "200", "--customers", "20000"], 1.0)
        chunks = []

        def read():
            for chunk in iter(lambda: os.read(child.stderr.fileno(), 4096), b""):
                chunks.append(chunk)
        reader = threading.Thread(target=read)
        reader.daemon = True
        reader.start()
        # The progress line shows once the run has lasted two seconds.
        deadline = time.time() + 60
        while b"replications:" not in b"".join(chunks):
            self.assertLess(time.time(), deadline, "no progress: %r" % b"".join(chunks))
            self.assertIsNone(child.poll(), b"".join(chunks))
            time.sleep(0.05)
        victim.kill()
        killed = time.time()
        # A hang fails the test instead of hanging the suite.
        self.assertIsNone(finishes(self, 60, child.stdout.read))
        child.wait()
        elapsed = time.time() - killed
        reader.join(10)
        return child.returncode, b"".join(chunks).decode("utf-8", "replace"), elapsed

    def one_error(self, code, err):
        """The one line of error that a failed run ends with, no traceback."""
        self.assertEqual(code, 1, err)
        self.assertNotIn("Traceback", err)
        lines = error_lines(err)
        self.assertEqual(len(lines), 1, err)
        return lines[0]

    def test_a_worker_killed_mid_run(self):
        code, err, elapsed = self.run_and_kill(self.worker)
        self.assertRegex(self.one_error(code, err),
                         r"^sweep.py: error: the dask cluster at %s has had no workers for 1 s while "
                         r"replications ran \(\d+ of 200 had finished\)" % self.address)
        # The timeout, and up to two seconds more until the client hears
        # from the scheduler that the worker has gone.
        self.assertLess(elapsed, 6.0)

    def test_the_scheduler_killed_mid_run(self):
        code, err, elapsed = self.run_and_kill(self.scheduler)
        self.assertRegex(self.one_error(code, err),
                         r"^sweep.py: error: (lost the dask scheduler|could not fetch a result from the "
                         r"dask cluster) at %s" % self.address)
        self.assertLess(elapsed, 3.0)

    def test_no_scheduler_and_no_workers(self):
        self.stop(self.worker)
        started = time.time()
        child = start_example(["--scheduler", self.address, "--replications", "2"], 1.0)
        out, err = child.communicate()
        err = err.decode("utf-8", "replace")
        self.assertEqual((child.returncode, error_lines(err)), (1, [
            "sweep.py: error: the dask scheduler at %s has no workers after 1 s; start some with: dask-worker %s" % (
                self.address, self.address)]), err)
        self.assertLess(time.time() - started, 5.0)
        self.stop(self.scheduler)
        started = time.time()
        child = start_example(["--scheduler", self.address, "--replications", "2"], 1.0)
        out, err = child.communicate()
        err = err.decode("utf-8", "replace")
        self.assertEqual(child.returncode, 1, err)
        self.assertEqual(len(error_lines(err)), 1, err)
        self.assertIn("sweep.py: error: cannot reach the dask scheduler at %s: " % self.address, err)
        self.assertLess(time.time() - started, 3.0)


if __name__ == "__main__":
    unittest.main()
