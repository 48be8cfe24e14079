"""Histograms of the observations a Tally keeps: counts per bin, as text or
as a matplotlib plot."""
from __future__ import division

import math


class Histogram(object):
    """Counts of values per bin: `edges` (k + 1 increasing numbers),
    `counts` (k counts; a bin holds edges[i] <= x < edges[i + 1], the last
    one its upper edge too), and `below` and `above` for values outside."""

    def __init__(self, edges, counts, below=0, above=0, name="values"):
        self.edges = list(edges)
        self.counts = list(counts)
        self.below = below
        self.above = above
        self.name = name
        if len(self.edges) != len(self.counts) + 1:
            raise ValueError("a histogram of %d bins needs %d edges, got %d" % (
                len(self.counts), len(self.counts) + 1, len(self.edges)))

    @property
    def total(self):
        return sum(self.counts) + self.below + self.above

    def __repr__(self):
        return "<Histogram %r: %d bins, %d values>" % (self.name, len(self.counts), self.total)

    def __str__(self):
        return self.text()

    def text(self, width=40):
        """The bins as lines of text, each with its range, count and a bar."""
        most = max(self.counts) if self.counts else 0
        labels = ["[%.4g, %.4g%s" % (low, high, "]" if i == len(self.counts) - 1 else ")")
                  for i, (low, high) in enumerate(zip(self.edges, self.edges[1:]))]
        size = max([len(label) for label in labels] + [1])
        lines = ["histogram of %s: %d values" % (self.name, self.total)]
        if self.below:
            lines.append("%-*s %8d" % (size, "below", self.below))
        for label, count in zip(labels, self.counts):
            bar = "#" * int(round(width * count / most)) if most else ""
            lines.append("%-*s %8d %s" % (size, label, count, bar))
        if self.above:
            lines.append("%-*s %8d" % (size, "above", self.above))
        return "\n".join(lines)

    def plot(self, axes=None, **options):
        """Draws the bars with matplotlib (on axes, or the current axes);
        returns the axes."""
        if axes is None:
            from matplotlib import pyplot
            axes = pyplot.gca()
        widths = [high - low for low, high in zip(self.edges, self.edges[1:])]
        axes.bar(self.edges[:-1], self.counts, width=widths, align="edge", **options)
        axes.set_xlabel(self.name)
        axes.set_ylabel("count")
        return axes


def edges_for(values, bins=None):
    """Bin edges for values: bins a number of equal bins, a sequence of
    edges, or None for a number chosen by the Freedman-Diaconis rule (the
    square-root rule where the spread is nil)."""
    if bins is not None and not isinstance(bins, (int, float)):
        edges = [float(edge) for edge in bins]
        if len(edges) < 2 or any(not a < b for a, b in zip(edges, edges[1:])):
            raise ValueError("histogram edges must be at least two increasing numbers, got %r" % (bins,))
        return edges
    # Infinite and NaN observations (waits of a clock run to infinity) fall
    # outside every bin: the edges span the finite ones.
    finite = [value for value in values if not (math.isinf(value) or math.isnan(value))]
    low, high = (min(finite), max(finite)) if finite else (0.0, 1.0)
    if high <= low:
        high = low + 1.0
    if bins is None:
        bins = _automatic(finite, low, high)
    if isinstance(bins, bool) or int(bins) != bins or bins < 1:
        raise ValueError("a histogram needs at least 1 bin, got %r" % (bins,))
    bins = int(bins)
    return [low + (high - low) * i / bins for i in range(bins)] + [high]


def _automatic(values, low, high):
    n = len(values)
    if n < 2:
        return 1
    ordered = sorted(values)
    spread = _quantile(ordered, 0.75) - _quantile(ordered, 0.25)
    if spread > 0:
        width = 2.0 * spread / n ** (1.0 / 3.0)
        return max(1, min(200, int(math.ceil((high - low) / width))))
    return max(1, min(200, int(math.ceil(math.sqrt(n)))))


def _quantile(ordered, p):
    at = p * (len(ordered) - 1)
    below = int(math.floor(at))
    above = min(below + 1, len(ordered) - 1)
    return ordered[below] + (ordered[above] - ordered[below]) * (at - below)


def count(values, edges, name="values"):
    """The Histogram of values over edges."""
    from bisect import bisect_right
    counts = [0] * (len(edges) - 1)
    below = above = 0
    last = edges[-1]
    for value in values:
        if value < edges[0]:
            below += 1
        elif value > last or value != value:  # a NaN is in no bin
            above += 1
        elif value == last:
            counts[-1] += 1
        else:
            counts[bisect_right(edges, value) - 1] += 1
    return Histogram(edges, counts, below, above, name)


def of_tally(tally, bins=None):
    """The histogram of a Tally: of the bins it was made with, when bins is
    None and it has them; else of the observations it keeps (series=True),
    over bins (a number, edges, or None for automatic ones)."""
    own = tally.bins
    if bins is None and own is not None:
        edges, counts, below, above = own
        return Histogram(edges, counts, below, above, tally.name)
    series = tally.series
    if series is None:
        raise ValueError("tally %r keeps no observations: create it with series=True or with bins" % (tally.name,))
    values = [value for _, value in series]
    return count(values, edges_for(values, bins), tally.name)
