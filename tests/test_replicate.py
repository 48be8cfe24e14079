# Monitors and replications: the statistics against a direct computation,
# the time series, reproducible seeds and executors that give the same
# numbers as a serial run.
import io
import math
import multiprocessing
import os
import random
import sys
import unittest

from vorm import Facility, Level, Simulation, Tally, hold, interval, replicate, seed_for
from vorm.ext import qt


def mm1(seed, arrival=0.5, customers=300):
    """An M/M/1 line; top level, so that worker processes can import it."""
    rng = random.Random(seed)
    sim = Simulation()
    server = Facility(sim)

    def customer(service):
        yield server.seize()
        yield hold(service)
        server.release()

    def source():
        for _ in range(customers):
            yield hold(rng.expovariate(arrival))
            sim.start(customer(rng.expovariate(1.0)))
    sim.start(source())
    sim.run()
    return {"wait": server.wait.mean(), "busy": server.busy.mean()}


def uneven(seed):
    return {"a": 1.0} if seed % 2 else {"b": 1.0}


class MonitorTest(unittest.TestCase):
    def test_tally_against_a_direct_computation(self):
        rng = random.Random(5)
        values = [1e9 + rng.random() for _ in range(1000)]
        tally = Tally("x")
        for v in values:
            tally.add(v)
        mean = math.fsum(values) / len(values)
        variance = math.fsum((v - mean) ** 2 for v in values) / (len(values) - 1)
        self.assertEqual((tally.count, tally.min, tally.max), (1000, min(values), max(values)))
        self.assertAlmostEqual(tally.mean(), mean, delta=1e-6)
        # Nearly equal large values: a sum of squares would lose every digit.
        self.assertAlmostEqual(tally.variance() / variance, 1.0, places=6)
        tally.reset()
        self.assertTrue(math.isnan(tally.mean()) and math.isnan(tally.variance()))

    def test_level_time_average_series_and_reset(self):
        sim = Simulation()
        level = Level(sim, "queue", series=True)

        def steps():
            for value, span in ((2, 1.0), (5, 3.0), (1, 1.0)):
                level.set(value)
                yield hold(span)
            level.reset()
            yield hold(2.0)
        sim.start(steps())
        sim.run(until=4.5)
        self.assertAlmostEqual(level.mean(), (2 * 1.0 + 5 * 3.0 + 1 * 0.5) / 4.5)
        self.assertEqual((level.min, level.max, level.value), (0, 5, 1))
        sim.run()
        self.assertEqual((level.mean(), level.min, level.max), (1.0, 1, 1))
        self.assertEqual(level.series, [(5.0, 1)])
        with self.assertRaises(ValueError):
            Tally("no series").write_csv(os.devnull)

    def test_facility_series(self):
        sim = Simulation()
        f = Facility(sim, name="desk", series=True)

        def customer(delay):
            yield hold(delay)
            yield f.seize()
            yield hold(1.0)
            f.release()
        for delay in (0.0, 0.5, 0.5):
            sim.start(customer(delay))
        sim.run()
        # Written as CSV by examples/plot.py, which tests/test_models.py runs.
        self.assertEqual(f.length.series, [(0.0, 0), (0.5, 1), (0.5, 2), (1.0, 1), (2.0, 0)])
        self.assertEqual(f.wait.series, [(0.0, 0.0), (1.0, 0.5), (2.0, 1.5)])


class ReplicateTest(unittest.TestCase):
    def test_seeds_depend_only_on_base_and_index(self):
        seeds = [seed_for(7, i) for i in range(50)]
        self.assertEqual(len(set(seeds)), 50)
        self.assertEqual(seeds[3], seed_for(7, 3))
        self.assertFalse(set(seeds) & set(seed_for(8, i) for i in range(50)))
        self.assertTrue(all(0 <= s < 2 ** 64 for s in seeds))

    def test_summary_uses_student_t(self):
        result = replicate(mm1, 6, seed=11, progress=False)
        waits = [mm1(seed_for(11, i))["wait"] for i in range(6)]
        self.assertEqual(result.outputs["wait"], waits)
        mean = sum(waits) / 6
        half = qt(0.975, 5) * math.sqrt(sum((w - mean) ** 2 for w in waits) / 5 / 6)
        self.assertAlmostEqual(result.mean("wait"), mean, places=12)
        self.assertAlmostEqual(result.half_width("wait"), half, places=12)
        self.assertIn("wait", result.table())
        self.assertTrue(math.isnan(interval([1.0])[1]))

    def test_executors_give_the_serial_numbers(self):
        serial = replicate(mm1, 4, seed=3, params={"arrival": 0.7}, progress=False).outputs
        pool = multiprocessing.Pool(2)
        try:
            pooled = replicate(mm1, 4, seed=3, params={"arrival": 0.7}, executor=pool, progress=False).outputs
            with self.assertRaises(TypeError) as cm:
                replicate(lambda seed: {"x": seed}, 2, executor=pool, progress=False)
            self.assertIn("cannot be sent to worker processes", str(cm.exception))
        finally:
            pool.close()
            pool.join()
        self.assertEqual(pooled, serial)

    def test_progress_and_bad_outputs(self):
        stream = io.StringIO() if sys.version_info[0] >= 3 else io.BytesIO()
        saved, sys.stderr = sys.stderr, stream
        try:
            replicate(mm1, 2, progress=True, params={"customers": 10})
        finally:
            sys.stderr = saved
        self.assertEqual(stream.getvalue().count("replications:"), 2)
        self.assertTrue(stream.getvalue().endswith("\n"))
        with self.assertRaises(ValueError):
            replicate(uneven, 3, progress=False)
        with self.assertRaises(TypeError):
            replicate(lambda seed: 1.0, 1, progress=False)
        with self.assertRaises(ValueError):
            replicate(mm1, 0)


if __name__ == "__main__":
    unittest.main()
