# Monitors and replications: the statistics against a direct computation,
# the time series, reproducible seeds and executors that give the same
# numbers as a serial run; how replications and sweeps show themselves
# (text, HTML, CSV, data frames) and the progress line.
import csv
import io
import math
import multiprocessing
import os
import random
import shutil
import sys
import tempfile
import unittest

from vorm import Facility, Level, Simulation, Tally, hold, interval, replicate, seed_for, sweep
from vorm.ext import qt
from vorm.replicate import Replications, _Progress, collect

from tests.support import run_child

try:
    from html.parser import HTMLParser
except ImportError:  # Python 2
    from HTMLParser import HTMLParser

try:
    import pandas
except ImportError:
    pandas = None

PY3 = sys.version_info[0] >= 3


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


def awkward(seed, label="plain"):
    """Outputs whose names a notebook would take for markup."""
    rng = random.Random(seed)
    return {"<b>wait</b>": rng.random() * 3, "share & \"rest\"": rng.random(), "count": rng.randint(0, 9)}


def text_stream():
    return io.StringIO() if PY3 else io.BytesIO()


class _Cells(HTMLParser):
    """The text of every cell of an HTML table, row by row, and the tags of
    the cells."""

    def __init__(self):
        HTMLParser.__init__(self)
        self.rows, self.tags, self.caption, self.inside = [], [], None, None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
            self.tags.append([])
        elif tag in ("th", "td", "caption"):
            self.inside = tag
            if tag != "caption":
                self.rows[-1].append("")
                self.tags[-1].append(tag)
            else:
                self.caption = ""

    def handle_endtag(self, tag):
        self.inside = None

    def handle_data(self, data):
        if self.inside == "caption":
            self.caption += data
        elif self.inside:
            self.rows[-1][-1] += data

    def handle_entityref(self, name):  # Python 2 hands entities over apart
        self.handle_data({"amp": "&", "lt": "<", "gt": ">", "quot": '"'}[name])


def cells(html):
    parser = _Cells()
    parser.feed(html)
    parser.close()
    return parser


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
        self.assertEqual(stream.getvalue().count("replications:"), 3)
        self.assertTrue(stream.getvalue().endswith("\n"))
        with self.assertRaises(ValueError):
            replicate(uneven, 3, progress=False)
        with self.assertRaises(TypeError):
            replicate(lambda seed: 1.0, 1, progress=False)
        with self.assertRaises(ValueError):
            replicate(mm1, 0)


class PresentationTest(unittest.TestCase):
    """What a modeller sees of a run: the repr a notebook or a prompt
    shows, the HTML table of a notebook, the CSV file and the data frame."""

    def setUp(self):
        self.runs = replicate(awkward, 4, seed=5, progress=False)
        self.names = ["<b>wait</b>", "share & \"rest\"", "count"]
        self.sweep = sweep(awkward, [("label", ["<i>", "a&b"])], 3, seed=5, progress=False)

    def test_replications_repr_and_html(self):
        text = repr(self.runs)
        self.assertNotIn("\n", text)
        self.assertTrue(text.startswith("<Replications: 4 replications, 95 % confidence: "), text)
        for name in self.runs.names:
            self.assertIn("%s %.4g +/- %.4g" % ((name,) + self.runs.interval(name)), text)
        self.assertIn("no outputs", repr(Replications([], [])))
        html = self.runs._repr_html_()
        self.assertNotIn("<b>", html)
        table = cells(html)
        self.assertEqual(table.caption, "4 replications, 95 % confidence")
        self.assertEqual(table.rows[0], ["output", "mean", "+/- (95 %)", "n"])
        self.assertEqual([row[0] for row in table.rows[1:]], self.runs.names)
        self.assertEqual(sorted(self.runs.names), sorted(self.names))
        for row, tags in zip(table.rows[1:], table.tags[1:]):
            self.assertEqual(tags, ["th", "td", "td", "td"])
            mean, half = self.runs.interval(row[0])
            self.assertEqual((float(row[1]), float(row[2]), int(row[3])), (float("%.6g" % mean), float("%.6g" % half), 4))

    def test_sweep_repr_and_html(self):
        text = repr(self.sweep)
        first, rest = text.split("\n", 1)
        self.assertEqual(first, "<Sweep over label: 2 points, 6 replications, 95 % confidence>")
        self.assertEqual(rest, self.sweep.table())
        table = cells(self.sweep._repr_html_())
        self.assertEqual(table.rows[0], ["label", "output", "mean", "+/- (95 %)", "n"])
        self.assertEqual([row[:2] for row in table.rows[1:]], [[str(row[0]), row[1]] for row in self.sweep.rows()])
        self.assertEqual(set(row[0] for row in table.rows[1:]), set(["<i>", "a&b"]))
        self.assertEqual(table.tags[1], ["th", "th", "td", "td", "td"])

    def test_csv_of_every_replication_to_a_path_and_a_stream(self):
        folder = tempfile.mkdtemp()
        try:
            path = os.path.join(folder, "runs.csv")
            self.runs.write_csv(path)
            with open(path) as saved:
                written = saved.read()
        finally:
            shutil.rmtree(folder)
        stream = text_stream()
        self.runs.write_csv(stream)
        self.assertEqual(stream.getvalue(), written)
        rows = list(csv.reader(written.splitlines()))
        self.assertEqual(rows[0], ["replication", "seed"] + self.runs.names)
        self.assertEqual([int(row[0]) for row in rows[1:]], [0, 1, 2, 3])
        self.assertEqual([int(row[1]) for row in rows[1:]], [seed_for(5, i) for i in range(4)])
        # Every digit survives, and a count stays a whole number.
        for column, name in enumerate(self.runs.names, 2):
            kind = int if name == "count" else float
            self.assertEqual([kind(row[column]) for row in rows[1:]], self.runs.outputs[name])

    @unittest.skipIf(pandas is None, "pandas is not importable here (Debian: python3-pandas for /usr/bin/python3)")
    def test_data_frames(self):
        frame = self.runs.to_dataframe()
        self.assertEqual(list(frame.columns), ["replication", "seed"] + self.runs.names)
        # Seeds above 2**63 must not wrap round into negative numbers.
        self.assertEqual([int(seed) for seed in frame["seed"]], self.runs.seeds)
        self.assertTrue(any(seed >= 2 ** 63 for seed in self.runs.seeds))
        for name in self.runs.names:
            self.assertEqual(frame[name].tolist(), self.runs.outputs[name])
        stream = text_stream()
        self.runs.write_csv(stream)
        stream.seek(0)
        pandas.testing.assert_frame_equal(pandas.read_csv(stream), frame)
        frame = self.sweep.to_dataframe()
        self.assertEqual(list(frame.columns), self.sweep.header())
        self.assertEqual(frame.values.tolist(), self.sweep.rows())

    def test_data_frames_without_pandas(self):
        saved = sys.modules.get("pandas")
        sys.modules["pandas"] = None  # import pandas now fails, as where it is missing
        try:
            for call in (self.runs.to_dataframe, self.sweep.to_dataframe):
                with self.assertRaises(ImportError) as cm:
                    call()
                self.assertIn("needs pandas", str(cm.exception))
                self.assertIn("apt-get install python3-pandas", str(cm.exception))
                self.assertIn(sys.executable, str(cm.exception))
        finally:
            if saved is None:
                del sys.modules["pandas"]
            else:
                sys.modules["pandas"] = saved

    def test_only_a_data_frame_imports_pandas(self):
        # Not the model of this module, which imports pandas to test with.
        code = ("import sys, io, vorm, vorm.parallel, vorm.replicate, vorm.sweep\n"
                "def model(seed, label=None):\n"
                "    return {'x': seed / 2.0 ** 64}\n"
                "runs = vorm.replicate(model, 3, progress=False)\n"
                "grid = vorm.sweep(model, {'label': ['a']}, 2, progress=False)\n"
                "for shown in (runs, grid):\n"
                "    repr(shown), str(shown), shown._repr_html_(), shown.write_csv(io.StringIO())\n"
                "print('pandas' in sys.modules)\n")
        if not PY3:
            code = code.replace("io.StringIO()", "io.BytesIO()")
        status, out = run_child(code, stderr=True)
        self.assertEqual((status, out.strip()), (0, "False"))


class FakeClock(object):
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


class ProgressTest(unittest.TestCase):
    """The progress line against a fake clock: its rate and time left, its
    rewriting, and its end before anything else is printed."""

    def lines(self, stream):
        """The texts the line showed, without the blanks that cover a
        longer text before; the last one keeps its newline."""
        texts = []
        for line in stream.getvalue().split("\r")[1:]:
            texts.append(line.rstrip("\n").rstrip(" ") + ("\n" if line.endswith("\n") else ""))
        return texts

    def test_rate_and_time_left(self):
        clock, stream = FakeClock(), text_stream()
        meter = _Progress(40, True, stream, clock)
        for done, at in ((1, 0.5), (10, 2.0), (30, 480.0)):
            clock.now = 100.0 + at
            meter.update(done)
        clock.now = 100.0 + 4000.0
        meter.update(39)
        meter.finish(39, failed=True)
        self.assertEqual(self.lines(stream), [
            "replications: 1/40 done, 2/s, 19.5 s left",
            "replications: 10/40 done, 5/s, 6.0 s left",
            "replications: 30/40 done, 0.0625/s, 2 min 40 s left",
            "replications: 39/40 done, 0.00975/s, 1 min 43 s left",
            "replications: 39/40 done, stopped after 1 h 07 min\n"])
        # A shorter text blanks out what the longer one left behind.
        shown = stream.getvalue().split("\r")[1:]
        for before, after in zip(shown, shown[1:]):
            self.assertGreaterEqual(len(after.rstrip("\n")), len(before))

    def test_shown_after_two_seconds_unless_asked(self):
        for mode, shown in ((None, True), (False, False)):
            clock, stream = FakeClock(), text_stream()
            meter = _Progress(3, mode, stream, clock)
            clock.now += 1.9
            meter.update(1)
            self.assertEqual(stream.getvalue(), "")
            clock.now += 0.6
            meter.update(2)
            clock.now += 0.5
            meter.update(3)
            meter.finish(3)
            self.assertEqual(bool(stream.getvalue()), shown)
        self.assertEqual(self.lines(stream) if shown else [], [])
        self.assertTrue(stream.getvalue() == "" or stream.getvalue().endswith("\n"))
        clock, stream = FakeClock(), text_stream()
        meter = _Progress(3, None, stream, clock)
        clock.now += 2.5
        meter.update(1)
        clock.now += 0.5
        meter.update(3)
        meter.finish(3)
        self.assertEqual(self.lines(stream)[-1], "replications: 3/3 done in 3.0 s, 1/s\n")
        # A run too short to show its progress says nothing at its end either.
        clock, stream = FakeClock(), text_stream()
        meter = _Progress(3, None, stream, clock)
        meter.update(3)
        meter.finish(3)
        self.assertEqual(stream.getvalue(), "")

    def test_an_error_starts_on_a_line_of_its_own(self):
        clock, stream = FakeClock(), text_stream()

        def fails(item):
            clock.now += 1.0
            if item == 3:
                raise ZeroDivisionError("replication 3")
            return item
        with self.assertRaises(ZeroDivisionError):
            collect(None, fails, range(6), True, stream, clock)
        self.assertEqual(self.lines(stream)[-1], "replications: 3/6 done, stopped after 4.0 s\n")
        # Ended also when a worker dies or the user presses Ctrl-C.
        clock, stream = FakeClock(), text_stream()

        def interrupted(item):
            clock.now += 3.0
            if item == 2:
                raise KeyboardInterrupt()
            return item
        with self.assertRaises(KeyboardInterrupt):
            collect(None, interrupted, range(4), None, stream, clock)
        self.assertTrue(stream.getvalue().endswith("stopped after 9.0 s\n"), stream.getvalue())


if __name__ == "__main__":
    unittest.main()
