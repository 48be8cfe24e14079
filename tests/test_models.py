"""The example models against queueing theory, and the examples as programs.

Each theory test runs a model in replications with fixed seeds and asks two
things of every output's 99 % interval: that it covers the theory value,
and that it is narrow enough to have missed a layer that serves in the
wrong order, with the wrong number of servers, past a line's limit, or
forgets a preempted customer's remaining service; that lets a store hold
one item too many or too few, that tells first() the wrong winner, or
that hands an interrupted process the wrong time left.
"""
from __future__ import division

import csv
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from vorm import ext, replicate, seed_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
if EXAMPLES not in sys.path:
    sys.path.insert(0, EXAMPLES)

import bank  # noqa: E402
import buffer  # noqa: E402
import mm1  # noqa: E402
import mmc  # noqa: E402
import network  # noqa: E402
import preempt  # noqa: E402
import priority  # noqa: E402
import race  # noqa: E402
import shop  # noqa: E402
import theory  # noqa: E402

SEED = 11
REPLICATIONS = 8
SMALL = dict(customers=4000, warmup=400)


def run_example(*args):
    """Runs an example as a program; returns (exit status, output)."""
    env = dict(os.environ)
    # The child loads the same build of vorm.ext as this process.
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.dirname(os.path.abspath(ext.__file__))), ROOT])
    child = subprocess.Popen([sys.executable, os.path.join(EXAMPLES, args[0])] + list(args[1:]),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    out, _ = child.communicate()
    return child.returncode, out.decode("utf-8", "replace")


class FormulaTest(unittest.TestCase):
    """The formulas the examples check against, on values worked by hand."""

    def test_mmc_and_priority_formulas(self):
        self.assertAlmostEqual(theory.erlang_c(1, 0.7), 0.7)  # M/M/1 waits with probability rho
        # M/M/2 at rho 1/2: C = 1/3, Wq = C / (c mu - lambda).
        self.assertAlmostEqual(theory.erlang_c(2, 1.0), 1.0 / 3)
        self.assertAlmostEqual(theory.mmc(1.0, 1.0, 2)["wait"], 1.0 / 3)
        # Two classes of loads 0.3 and 0.4: W0 = 0.7, so 0.7 / 0.7 and
        # 0.7 / (0.7 * 0.3); preemptive class 1 is an M/M/1 of its own.
        for got, expected in zip(theory.cobham([0.3, 0.4], 1.0), [1.0, 10.0 / 3]):
            self.assertAlmostEqual(got, expected)
        for got, expected in zip(theory.preemptive_resume([0.3, 0.4], 1.0), [1 / 0.7, 1 / 0.7 + 10.0 / 3]):
            self.assertAlmostEqual(got, expected)

    def test_impatient_chain(self):
        patient = theory.impatient(2.4, 1.0, 3, float("inf"))
        fifo = theory.mmc(2.4, 1.0, 3)
        for name in ("wait", "length", "busy"):
            self.assertAlmostEqual(patient[name], fifo[name])
        self.assertEqual((patient["balked"], patient["reneged"]), (0.0, 0.0))
        # M/M/1/4 (three places in line) at rho 1/2: P4 = (1 - rho) rho^4 / (1 - rho^5).
        self.assertAlmostEqual(theory.impatient(0.5, 1.0, 1, float("inf"), 3)["balked"], 0.5 * 0.5 ** 4 / (1 - 0.5 ** 5))
        # Flow balance: customers renege at rate theta Lq.
        chain = theory.impatient(3.0, 1.1, 3, 5.0, 8)
        self.assertAlmostEqual(chain["reneged"], chain["length"] / 5.0 / 3.0)

    def test_bounded_buffer_chain(self):
        # K = 1, made at rate 1 and used at rate 2: four states of weights
        # 8, 4, 2, 1 (/ 15). Items leave at 2 (1 - 8/15) = 14/15 and lie in
        # the buffer in states 2 and 3; a put waits in state 2 (2/15 out of
        # the 14/15 when the producer works) for Exp(2), a get in state 1
        # (4/15 out of 7/15) for Exp(1).
        chain = theory.bounded_buffer(1.0, 2.0, 1)
        for name, value in (("throughput", 14.0 / 15), ("content", 3.0 / 15), ("blocked", 1.0 / 7),
                            ("put_wait", 1.0 / 14), ("get_wait", 4.0 / 7)):
            self.assertAlmostEqual(chain[name], value, msg=name)
        # As fast as each other, every state weighs the same: 1/5 for K = 2.
        even = theory.bounded_buffer(1.0, 1.0, 2)
        for name, value in (("throughput", 0.8), ("content", 1.0), ("blocked", 0.25)):
            self.assertAlmostEqual(even[name], value, msg=name)

    def test_deadline_race(self):
        exponential = theory.deadline_race(1.0, 0.5)
        self.assertAlmostEqual(exponential["on_time"], 2.0 / 3)
        self.assertAlmostEqual(exponential["decided"], 2.0 / 3)
        self.assertEqual(exponential["left"], 1.0)
        # A fixed deadline of ln 2 / a: delivered in time half the time.
        fixed = theory.deadline_race(2.0, fixed=math.log(2) / 2.0)
        self.assertAlmostEqual(fixed["on_time"], 0.5)
        self.assertAlmostEqual(fixed["decided"], 0.25)

    def test_machine_repair(self):
        # Two machines, failure 1/2, repair 1: weights 1, 1, 1/2 of 0, 1, 2
        # broken. Up 2 - 0.4 - 2 x 0.2; the line holds one machine in state 2.
        chain = theory.machine_repair(2, 0.5, 1.0)
        for name, value in (("up", 1.2), ("busy", 0.6), ("length", 0.2), ("wait", 1.0 / 3)):
            self.assertAlmostEqual(chain[name], value, msg=name)
        # One machine: the availability MTTF / (MTTF + MTTR), never a wait.
        alone = theory.machine_repair(1, 0.1, 1.0)
        self.assertAlmostEqual(alone["up"], 10.0 / 11)
        self.assertEqual(alone["wait"], 0.0)


    def test_verdict_says_what_a_miss_means(self):
        self.assertEqual(theory.verdict([True, True]), "Every interval covers its theory value.")
        text = " ".join(theory.verdict([True, False, True, False]).split())
        self.assertTrue(text.startswith("2 of 4 intervals miss their theory value. At 95 % confidence an interval "
                                        "misses by chance about once in 20 (0.2 misses expected among 4)"), text)
        self.assertIn("another --seed", text)
        self.assertIn("once in 100 (0.04 misses", " ".join(theory.verdict([False] * 4, 0.99).split()))


class TheoryTest(unittest.TestCase):

    def check(self, model, params, expected, within):
        """Every output named in `expected` must be covered by its 99 %
        interval, whose half-width must stay below `within` times the value."""
        runs = replicate(model, REPLICATIONS, SEED, params, progress=False, confidence=0.99)
        for name in sorted(expected):
            mean, half = runs.interval(name)
            value = expected[name]
            self.assertLess(half, within * value, "%s: %.4g +/- %.4g is too wide to test %.4g" % (
                name, mean, half, value))
            self.assertLessEqual(abs(mean - value), half, "%s: %.4g +/- %.4g misses the theory value %.4g" % (
                name, mean, half, value))
        return runs

    def test_mm1_fifo_and_urgent_lines(self):
        fifo = theory.mmc(0.6, 1.0)
        params = dict(SMALL, arrival=0.6)
        self.check(mm1.model, params, dict((name, fifo[name]) for name in ("wait", "length", "busy")), 0.2)
        urgent, normal = theory.cobham([0.6 * 0.4, 0.6 * 0.6], 1.0)
        params["urgent"] = 0.4
        self.check(mm1.model, params, {"wait": fifo["wait"], "urgent_wait": urgent, "normal_wait": normal}, 0.2)

    def test_mmc_against_erlang_c(self):
        self.check(mmc.model, dict(SMALL, arrival=2.1, servers=3), theory.mmc(2.1, 1.0, 3), 0.2)

    def test_priority_classes_against_cobham(self):
        rates = (0.2, 0.2, 0.3)
        expected = dict(("wait_%d" % (k + 1), wait) for k, wait in enumerate(theory.cobham(rates, 1.0)))
        runs = self.check(priority.model, dict(SMALL, rates=rates), expected, 0.25)
        means = [runs.mean("wait_%d" % k) for k in (1, 2, 3)]
        self.assertEqual(means, sorted(means), "more urgent classes must wait less")

    def test_preemptive_resume_classes(self):
        rates = (0.2, 0.2, 0.3)
        expected = dict(("time_%d" % (k + 1), time) for k, time in enumerate(theory.preemptive_resume(rates, 1.0)))
        self.check(preempt.model, dict(SMALL, rates=rates), expected, 0.2)

    def test_bank_balking_and_reneging_against_its_chain(self):
        # A short line and a high balk share, so that a limit off by one shows.
        params = dict(arrival=2.0, service=1.0, tellers=2, limit=3, patience=3.0, minutes=1500.0, warmup=150.0)
        expected = theory.impatient(2.0, 1.0, 2, 3.0, 3)
        self.check(bank.model, params, expected, 0.15)

    def test_job_shop_stations_as_a_jackson_network(self):
        rework = 0.2
        visits = 1 / (1 - rework)
        lathe, mill, inspection = (theory.mmc(0.5, 1.0, 1)["wait"], theory.mmc(0.5 * visits, 0.5, 2)["wait"],
                                   theory.mmc(0.5 * visits, 1.0, 1)["wait"])
        expected = {"wait_lathe": lathe, "wait_mill": mill, "wait_inspection": inspection,
                    "time": lathe + 1.0 + visits * (mill + 2.0 + inspection + 1.0)}
        self.check(network.model, dict(jobs=4000, warmup=400, rework=rework), expected, 0.2)

    def test_bounded_buffer_against_its_chain(self):
        # Two places and equal rates: a buffer of three would block a put
        # 1 time in 5 instead of 1 in 4 and hold 1.5 items instead of 1.
        expected = theory.bounded_buffer(1.0, 1.0, 2)
        self.check(buffer.model, dict(production=1.0, consumption=1.0, capacity=2, minutes=4000.0, warmup=200.0),
                   expected, 0.1)

    def test_first_of_a_courier_and_a_deadline(self):
        # A wrong winner would turn 2/3 into 1/3; a time left counted from
        # the start of the trip would make it 1 + 2/3 instead of 1.
        for params in ({"deadline": 0.5}, {"fixed": 2.0}):
            expected = theory.deadline_race(1.0, 0.5, params.get("fixed"))
            self.check(race.model, dict(params, delivery=1.0, customers=4000), expected, 0.1)

    def test_machine_shop_against_the_machine_repair_model(self):
        expected = theory.machine_repair(4, 0.25, 1.0)
        expected["jobs"] = expected["up"]  # one job per working hour
        self.check(shop.model, dict(machines=4, failure=0.25, repair=1.0, hours=3000.0, warmup=200.0), expected, 0.15)


class ExampleProgramTest(unittest.TestCase):

    def test_every_example_explains_itself(self):
        for name in ("bank.py", "buffer.py", "chain.py", "gasstation.py", "mm1.py", "mmc.py", "network.py",
                     "plot.py", "preempt.py", "priority.py", "race.py", "shop.py", "sweep.py"):
            status, out = run_example(name, "--help")
            self.assertEqual(status, 0, "%s --help:\n%s" % (name, out))
            self.assertTrue(out.startswith("usage: %s" % name), "%s --help:\n%s" % (name, out))

    def test_replications_written_as_csv(self):
        directory = tempfile.mkdtemp()
        try:
            small = ["--replications", "3", "--customers", "200", "--warmup", "20", "--seed", "8"]
            tables = {}
            for name in ("mmc.py", "mm1.py"):
                path = os.path.join(directory, name + ".csv")
                status, out = run_example(name, "--csv", path, *small)
                self.assertEqual(status, 0, out)
                self.assertIn("CSV written to %s" % path, out)
                with open(path) as table:
                    tables[name] = (out, list(csv.DictReader(table)))
        finally:
            shutil.rmtree(directory)
        seeds = [seed_for(8, i) for i in range(3)]
        out, rows = tables["mmc.py"]
        self.assertEqual([(int(row["replication"]), int(row["seed"])) for row in rows], list(enumerate(seeds)))
        for row, seed in zip(rows, seeds):
            # The numbers of the very replication, to the last digit.
            outputs = mmc.model(seed, customers=200, warmup=20)
            self.assertEqual(sorted(row), sorted(["replication", "seed"] + list(outputs)))
            self.assertEqual(dict((name, float(row[name])) for name in outputs), outputs)
        # ... whose mean the report printed.
        printed = [line.split() for line in out.splitlines() if "mean wait in line" in line][0]
        self.assertAlmostEqual(sum(float(row["wait"]) for row in rows) / 3, float(printed[4]), places=4)
        out, rows = tables["mm1.py"]
        self.assertEqual([(row["run"], int(row["seed"])) for row in rows],
                         [("fifo", seed) for seed in seeds] + [("priority", seed) for seed in seeds])
        # The FIFO run has no classes of customers: its cells stay empty.
        self.assertEqual(set(row["urgent_wait"] for row in rows[:3]), set([""]))
        for row, seed in zip(rows[3:], seeds):
            expected = mm1.model(seed, customers=200, warmup=20, urgent=0.5)
            self.assertEqual(dict((name, float(row[name])) for name in expected), expected)

    def test_sweep_checks_every_point_against_erlang_c(self):
        directory = tempfile.mkdtemp()
        try:
            path = os.path.join(directory, "sweep.csv")
            status, out = run_example("sweep.py", "--load", "0.5", "0.85", "--servers", "1", "3", "--replications", "3",
                                      "--customers", "300", "--warmup", "30", "--csv", path)
            self.assertEqual(status, 0, out)
            with open(path) as table:
                exact = dict(((float(row["load"]), int(row["servers"]), row["output"]),
                              (float(row["mean"]), float(row["half_width"]))) for row in csv.DictReader(table))
        finally:
            shutil.rmtree(directory)
        lines = out.splitlines()
        start = [number for number, line in enumerate(lines) if line.split()[:3] == ["load", "servers", "output"]][0]
        printed = [line.split() for line in lines[start + 1:start + 13]]
        self.assertEqual(len(exact), 12)
        checks = []
        for row in printed:
            load, servers, output = float(row[0]), int(row[1]), row[2]
            expected = theory.mmc(load * servers, 1.0, servers)
            value = {"wait": expected["wait"], "line": expected["length"], "utilisation": load}[output]
            self.assertEqual(row[5], "%.4f" % value, row)
            mean, half = exact.pop((load, servers, output))
            checks.append(abs(mean - value) <= half)
            self.assertEqual(" ".join(row[6:]), "covered" if checks[-1] else "NOT covered", row)
        self.assertEqual(exact, {})
        self.assertIn(theory.verdict(checks), out)

    def test_plot_writes_the_monitor_series(self):
        directory = tempfile.mkdtemp()
        try:
            prefix = os.path.join(directory, "run")
            status, out = run_example("plot.py", "--out", prefix, "--customers", "300")
            self.assertEqual(status, 0, out)
            with open(prefix + "-length.csv") as length_file:
                lengths = list(csv.reader(length_file))
            with open(prefix + "-wait.csv") as wait_file:
                waits = list(csv.reader(wait_file))
            self.assertEqual(lengths[0], ["time", "server line"])
            self.assertEqual(waits[0], ["time", "server wait"])
            self.assertEqual(len(waits), 301)  # every customer's wait, no warm-up
            # The level's changes, from its value at the start on.
            self.assertEqual((float(lengths[1][0]), int(lengths[1][1])), (0.0, 0))
            # Where each file went, in full.
            for suffix in ("-length.csv", "-wait.csv"):
                self.assertIn("wrote %s (" % os.path.abspath(prefix + suffix), out)
            try:
                import matplotlib  # noqa: F401
            except ImportError:
                self.assertIn("matplotlib is not importable", out)
                self.assertFalse(os.path.exists(prefix + ".png"))
            else:
                self.assertIn("wrote %s (the plot)" % os.path.abspath(prefix + ".png"), out)
                with open(prefix + ".png", "rb") as png:
                    self.assertEqual(png.read(8), b"\x89PNG\r\n\x1a\n")
        finally:
            shutil.rmtree(directory)


if __name__ == "__main__":
    unittest.main()
