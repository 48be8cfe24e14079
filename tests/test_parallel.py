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


def fragile(seed, victim, folder, pause=0.05):
    """mm1, except that the first run of seed `victim` kills its own
    process, as the kernel's out-of-memory killer would."""
    time.sleep(pause)
    if seed == victim:
        mark = os.path.join(folder, "killed")
        if not os.path.exists(mark):
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
        self.assertLess(time.time() - started, 5.0)
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


if __name__ == "__main__":
    unittest.main()
