import gc, sys, tracemalloc
from vorm import *
N = 20000
def measure(kind):
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
    sim.start(blocker()); sim.run(until=0.0)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    gens = [holder() if kind == "holding" else waiter() for _ in range(N)]
    for g in gens:
        sim.start(g)
    sim.run(until=1.0)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return (after - before) / N
for kind in ("holding", "waiting"):
    print(kind, "%.0f B" % measure(kind))
