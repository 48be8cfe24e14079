"""The memory that a process costs: 20,000 processes that hold, then 20,000
that wait in a facility's line, as tracemalloc sees them (generator, frame,
process and line entry included).

    PYTHONPATH=. python3 bench/memory.py
"""
from __future__ import division, print_function

import gc
import sys
import tracemalloc

from vorm import Facility, Simulation, hold

COUNT = 20000


def per_process(waiting):
    gc.collect()
    sim = Simulation()
    desk = Facility(sim)

    def holder():
        yield hold(1e9)

    def waiter():
        yield desk.seize()

    def blocker():
        yield desk.seize()
        yield hold(1e9)
    sim.start(blocker())
    sim.run(until=0.0)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(COUNT):
        sim.start(waiter() if waiting else holder())
    sim.run(until=1.0)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    sim.close()
    return (after - before) / COUNT


def main():
    print("memory per process on Python %s: holding %.0f B, waiting in a line %.0f B" % (
        sys.version.split()[0], per_process(False), per_process(True)))


if __name__ == "__main__":
    main()
