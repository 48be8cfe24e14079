"""Parameter sweeps: a model run at every point of a grid of parameters,
n replications at each.

    result = sweep(mmc, {"arrival": [0.5, 0.8], "servers": [1, 2]}, 20)
    print(result)                  # parameters, output, mean, half-width, n
    result.write_csv("sweep.csv")

Replication i of every point runs with the same seed, seed_for(seed, i):
the points see common random numbers, so that the differences between
them owe less to chance than independent seeds would leave them. All
points x n replications go to the executor as one batch, so that a pool
stays busy from the first point to the last.
"""
from __future__ import division

import collections
import itertools
import sys

from vorm.replicate import Replications, _Run, _Table, as_executor, check_executor, collect, html_table, seed_for

_TEXT = (type(b""), type(u""))


def grid_points(grid):
    """The names of the swept parameters and the list of points (one dict
    each) of `grid`: a mapping, or a sequence of pairs, of each parameter's
    name to a sequence of values. The last parameter varies fastest. A plain
    dict keeps its order on Python 3.7+; before, its names are sorted (use
    an OrderedDict or pairs for another order)."""
    if hasattr(grid, "items"):
        pairs = list(grid.items())
        if sys.version_info < (3, 7) and not isinstance(grid, collections.OrderedDict):
            pairs.sort()
    else:
        pairs = [tuple(pair) for pair in grid]
    if not pairs:
        raise ValueError("the grid has no parameters")
    names = []
    for name, values in pairs:
        if isinstance(values, _TEXT) or not hasattr(values, "__iter__"):
            raise TypeError("grid parameter %r needs a sequence of values, not %r" % (name, values))
        if name in names:
            raise ValueError("grid parameter %r appears twice" % (name,))
        names.append(name)
    columns = [list(values) for _, values in pairs]
    for name, values in zip(names, columns):
        if not values:
            raise ValueError("grid parameter %r has no values" % (name,))
    return names, [dict(zip(names, point)) for point in itertools.product(*columns)]


class _Point(object):
    """One replication at one point, given as (parameters, seed): each job
    carries its own point, so that a task never pickles the whole grid."""

    def __init__(self, model):
        self.model = model

    def describe(self, job):
        params, seed = job
        return "seed %d at %s" % (seed, ", ".join("%s=%r" % (name, params[name]) for name in sorted(params)))

    def __call__(self, job):
        params, seed = job
        return _Run(self.model, params)(seed)


def _cell(value):
    return "%.6g" % value if isinstance(value, float) else str(value)


class Sweep(_Table):
    """The replications at every point of a grid. `names` lists the swept
    parameters, `points` their values at each point (one dict each, grid
    order) and `replications[i]` the Replications of points[i]."""

    def __init__(self, names, points, replications):
        self.names = list(names)
        self.points = list(points)
        self.replications = list(replications)

    def __len__(self):
        return len(self.points)

    def at(self, **values):
        """The Replications of the point whose parameters have `values`."""
        unknown = sorted(set(values) - set(self.names))
        if unknown:
            raise KeyError("the sweep has no parameter %s" % (", ".join(map(repr, unknown)),))
        for point, replications in zip(self.points, self.replications):
            if all(point.get(name) == value for name, value in values.items()):
                return replications
        raise KeyError("no point of the sweep has %r" % (values,))

    def rows(self):
        """One row per point and output: the parameter values, then the
        output's name, mean, half-width and the number of replications."""
        rows = []
        for point, replications in zip(self.points, self.replications):
            for output in replications.names:
                mean, half = replications.interval(output)
                rows.append([point[name] for name in self.names] + [output, mean, half, len(replications)])
        return rows

    def header(self):
        return [str(name) for name in self.names] + ["output", "mean", "half_width", "n"]

    def _confidence(self):
        return self.replications[0].confidence if self.replications else 0.95

    def table(self):
        """The rows as aligned text."""
        header = self.header()
        header[-2] = "+/- (%g %%)" % (100 * self._confidence())
        cells = [header] + [[_cell(value) for value in row] for row in self.rows()]
        widths = [max(len(row[column]) for row in cells) for column in range(len(header))]
        text = []
        for row in cells:
            parts = []
            for column, (cell, width) in enumerate(zip(row, widths)):
                # Names of outputs read best flush left, numbers flush right.
                parts.append(cell.ljust(width) if column == len(self.names) else cell.rjust(width))
            text.append("  ".join(parts).rstrip())
        return "\n".join(text)

    __str__ = table

    def _summary(self):
        return "Sweep over %s: %d points, %d replications, %g %% confidence" % (
            ", ".join(str(name) for name in self.names), len(self),
            sum(len(replications) for replications in self.replications), 100 * self._confidence())

    def __repr__(self):
        return "<%s>\n%s" % (self._summary(), self.table())

    def _repr_html_(self):
        head = self.header()
        head[-2] = "+/- (%g %%)" % (100 * self._confidence())
        body = [[_cell(value) for value in row] for row in self.rows()]
        return html_table(self._summary(), head, body, len(self.names) + 1)



def sweep(model, grid, n, seed=2026, params=None, executor=None, progress=None, confidence=0.95):
    """Runs `model(seed_i, **params, **point)` for every point of `grid`
    (see grid_points) and i = 0 .. n-1; returns their Sweep. `params` holds
    the parameters that stay fixed; `executor`, `progress` and `confidence`
    work as for replicate. Nothing is dispatched when any point cannot be
    sent to the executor's worker processes."""
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError("sweep() needs n >= 1 replications, got %r" % (n,))
    names, points = grid_points(grid)
    fixed = dict(params or {})
    both = sorted(set(fixed) & set(names))
    if both:
        raise ValueError("parameters %s are both swept and fixed" % (", ".join(map(repr, both)),))
    runs = [_Run(model, dict(fixed, **point)) for point in points]
    seeds = [seed_for(seed, index) for index in range(n)]
    executor = as_executor(executor)
    check_executor(executor, runs)
    jobs = [(run.params, replication) for run in runs for replication in seeds]
    results = collect(executor, _Point(model), jobs, progress)
    return Sweep(names, points, [Replications(seeds, results[index * n:(index + 1) * n], confidence)
                                 for index in range(len(points))])
