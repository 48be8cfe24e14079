"""Monitors: a tally of observations and a time-weighted level, both native
types of vorm._kernel. A Python subclass may override `Tally.add` and
`Level.set`: a facility then calls the override for its own monitors."""
from vorm._kernel import Level, Tally
from vorm.histogram import Histogram

__all__ = ["Histogram", "Level", "Tally"]
