"""Replications: a model run n times with independent, reproducible seeds.

A model is a function `model(seed, **params)` that builds and runs one
simulation from its own `random.Random(seed)` and returns its named outputs
as a mapping of numbers. `replicate` runs it n times and reports each
output's mean and confidence half-width (Student t). The seed of
replication i depends only on the base seed and i, so a run gives the same
numbers serially and on any executor: anything with `map(fn, iterable)`,
such as a `multiprocessing` pool or a `concurrent.futures` executor.
"""
from __future__ import division, print_function

import math
import pickle
import sys
import time

from vorm.ext import qt

_MASK = (1 << 64) - 1


def seed_for(base, index):
    """The seed of replication `index` of a run with base seed `base`: a
    64-bit mix of the two (the splitmix64 finaliser), so neighbouring base
    seeds share no replication."""
    z = (int(base) * 0xBF58476D1CE4E5B9 + (int(index) + 1) * 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def interval(values, confidence=0.95):
    """Mean and confidence half-width of independent values (Student t);
    the half-width is NaN for fewer than two values."""
    n = len(values)
    if n == 0:
        return float("nan"), float("nan")
    mean = math.fsum(values) / n
    if n < 2:
        return mean, float("nan")
    variance = math.fsum((v - mean) ** 2 for v in values) / (n - 1)
    return mean, qt(1.0 - (1.0 - confidence) / 2.0, n - 1) * math.sqrt(variance / n)


class Replications(object):
    """The outputs of n replications: `outputs[name]` lists one value per
    replication, in replication order; `seeds` the seeds they ran with."""

    def __init__(self, seeds, results, confidence=0.95):
        self.seeds = list(seeds)
        self.confidence = confidence
        self.outputs = {}
        self.names = []
        for index, result in enumerate(results):
            if index == 0:
                self.names = _ordered(result)
                for name in self.names:
                    self.outputs[name] = []
            elif sorted(result) != sorted(self.names):
                raise ValueError("replication %d returned the outputs %s, the first returned %s" % (
                    index, sorted(result), sorted(self.names)))
            for name in self.names:
                self.outputs[name].append(result[name])

    def __len__(self):
        return len(self.seeds)

    def interval(self, name):
        """(mean, half-width) of output `name`."""
        return interval(self.outputs[name], self.confidence)

    def mean(self, name):
        return self.interval(name)[0]

    def half_width(self, name):
        return self.interval(name)[1]

    def table(self):
        """The outputs as text: name, mean, half-width, replications."""
        width = max([len("output")] + [len(str(name)) for name in self.names])
        lines = ["%-*s %14s %14s %5s" % (width, "output", "mean", "+/- (%g %%)" % (100 * self.confidence), "n")]
        for name in self.names:
            mean, half = self.interval(name)
            lines.append("%-*s %14.6g %14.6g %5d" % (width, name, mean, half, len(self)))
        return "\n".join(lines)

    __str__ = table


def _ordered(result):
    # Python 3.7+ dicts keep insertion order; older ones get sorted names.
    if sys.version_info >= (3, 7):
        return list(result)
    return sorted(result)


class _Run(object):
    """One replication as a picklable callable, for executors that run it
    in another process."""

    def __init__(self, model, params):
        self.model = model
        self.params = params

    def __call__(self, seed):
        result = self.model(seed, **self.params)
        if not hasattr(result, "keys"):
            raise TypeError("model %s returned %r; it must return a mapping of named outputs" % (
                getattr(self.model, "__name__", self.model), result))
        return dict(result)


def _in_threads(executor):
    # Threads share the model function; only other processes need pickling.
    name = type(executor).__name__
    return name in ("ThreadPoolExecutor", "ThreadPool")


def check_picklable(model):
    """Raises TypeError, before anything runs, when the model cannot be sent
    to another process (a lambda, a nested function, a bound method of an
    unpicklable object)."""
    try:
        pickle.dumps(model, 2)
    except Exception as error:
        raise TypeError("model %r cannot be sent to worker processes (%s: %s); define it at the top level "
                        "of a module" % (getattr(model, "__name__", model), type(error).__name__, error))


class _Progress(object):
    """A line on standard error, rewritten as replications finish; shown
    when asked, or by default once a run has lasted a couple of seconds."""

    def __init__(self, total, mode, stream=None):
        self.total, self.mode = total, mode
        self.stream = stream if stream is not None else sys.stderr
        self.started = time.time()
        self.shown = False

    def update(self, done):
        if self.mode is False:
            return
        elapsed = time.time() - self.started
        if self.mode is None and elapsed < 2.0 and not self.shown:
            return
        self.shown = True
        self.stream.write("\rreplications: %d/%d done, %.1f s" % (done, self.total, elapsed))
        self.stream.flush()

    def finish(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


def replicate(model, n, seed=2026, params=None, executor=None, progress=None, confidence=0.95):
    """Runs `model(seed_i, **params)` for i = 0 .. n-1 and returns their
    Replications. `executor` (anything with map) runs them in parallel;
    `progress` True shows progress on standard error, False never, None
    once the run takes longer than two seconds."""
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError("replicate() needs n >= 1 replications, got %r" % (n,))
    run = _Run(model, dict(params or {}))
    seeds = [seed_for(seed, index) for index in range(n)]
    if executor is not None and not _in_threads(executor):
        check_picklable(run)
    results = []
    meter = _Progress(n, progress)
    mapped = map(run, seeds) if executor is None else executor.map(run, seeds)
    for result in mapped:
        results.append(result)
        meter.update(len(results))
    meter.finish()
    return Replications(seeds, results, confidence)
