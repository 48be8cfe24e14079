"""Stores of items and tanks of an amount, native types of vorm._kernel.

A Store holds items up to its capacity: `yield store.put(item)` waits while
it is full, `item = yield store.get()` while it is empty; `get(filter)`
takes the first item that `filter(item)` accepts, and a store made with
`priority=True` serves the item of highest priority first
(`put(item, priority)`). A Tank holds an amount between 0 and its capacity:
`yield tank.put(x)` waits until x fits, `yield tank.get(x)` until x is
there. (vorm's `Level` is the time-average monitor, not a tank.)

Waiting puts and gets line up first come, first served, each in a list of
the core; both keep monitors: `contents` (a Level of what is held),
`get_wait` and `put_wait` (Tallies of the waits).
"""
from vorm._kernel import Store, Tank

__all__ = ["Store", "Tank"]
