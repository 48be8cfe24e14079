"""Stores of items and tanks of an amount."""
from vorm._kernel import Store, Tank

__all__ = ["Store", "Tank"]
