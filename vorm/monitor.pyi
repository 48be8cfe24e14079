"""Monitors: a tally of observations and a time-weighted level."""
from vorm._kernel import Level, Tally
from vorm.histogram import Histogram

__all__ = ["Histogram", "Level", "Tally"]
