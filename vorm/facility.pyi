"""Facilities: c identical servers and the line that waits for them."""
from vorm._kernel import Facility, Seize

__all__ = ["Facility", "Seize"]
