"""Monitors: a tally of observations and a time-weighted level."""
from __future__ import division

import csv
import math

INFINITY = float("inf")


class Tally(object):
    """Count, mean, variance, minimum and maximum of observations (waiting
    times, say). With `series=True` it also keeps every observation, with
    the simulated time at which it was made when it knows a simulation."""

    __slots__ = ("name", "sim", "count", "total", "_mean", "_m2", "min", "max", "series")

    def __init__(self, name="tally", sim=None, series=False):
        self.name = name
        self.sim = sim
        self.series = [] if series else None
        self.reset()

    def reset(self):
        """Forgets every observation (after a warm-up, say)."""
        self.count = 0
        self.total = self._mean = self._m2 = 0.0
        self.min, self.max = INFINITY, -INFINITY
        if self.series is not None:
            del self.series[:]

    def add(self, x):
        # Welford's update: the variance stays exact for long runs of
        # nearly equal values, where sums of squares cancel.
        count = self.count + 1
        self.count = count
        self.total += x
        delta = x - self._mean
        self._mean += delta / count
        self._m2 += delta * (x - self._mean)
        if x < self.min:
            self.min = x
        if x > self.max:
            self.max = x
        if self.series is not None:
            self.series.append((self.sim.now if self.sim is not None else count, x))

    def mean(self):
        return self._mean if self.count else float("nan")

    def variance(self):
        """The sample variance (n - 1 in the denominator)."""
        return self._m2 / (self.count - 1) if self.count > 1 else float("nan")

    def stdev(self):
        return math.sqrt(self.variance())

    def __repr__(self):
        return "<Tally %r n=%d mean=%.6g>" % (self.name, self.count, self.mean())

    def write_csv(self, path):
        """Writes the kept observations as `time,value` lines."""
        _write_series(path, self.series, self.name)


class Level(object):
    """A quantity that changes at points of simulated time (a line length,
    the number of busy servers): its time average, minimum and maximum since
    creation or the last reset. With `series=True` it keeps every
    (time, value) change."""

    __slots__ = ("name", "sim", "value", "min", "max", "series", "_since", "_start", "_area")

    def __init__(self, sim, name="level", value=0, series=False):
        self.name = name
        self.sim = sim
        self.value = value
        self.series = [] if series else None
        self.reset()

    def reset(self):
        """Starts the averages afresh from now, keeping the current value."""
        now = self.sim.now
        self._start = self._since = now
        self._area = 0.0
        self.min = self.max = self.value
        if self.series is not None:
            self.series[:] = [(now, self.value)]

    def set(self, value):
        now = self.sim.now
        self._area += self.value * (now - self._since)
        self._since = now
        self.value = value
        if value > self.max:
            self.max = value
        elif value < self.min:
            self.min = value
        if self.series is not None:
            self.series.append((now, value))

    def add(self, delta=1):
        self.set(self.value + delta)

    def mean(self):
        """The time average; the current value when no time has passed."""
        now = self.sim.now
        elapsed = now - self._start
        if not elapsed > 0:
            return float(self.value)
        return (self._area + self.value * (now - self._since)) / elapsed

    def __repr__(self):
        return "<Level %r value=%r mean=%.6g>" % (self.name, self.value, self.mean())

    def write_csv(self, path):
        """Writes the kept changes as `time,value` lines."""
        _write_series(path, self.series, self.name)


def _write_series(path, series, name):
    if series is None:
        raise ValueError("monitor %r keeps no series: create it with series=True" % (name,))
    with open(path, "w") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(("time", name))
        writer.writerows(series)
