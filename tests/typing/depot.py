"""A replicated model of a parts depot as a user annotates it: a store of
parts, a tank of oil, a desk with impatient customers, first() between a
part and closing time, a signal, an interrupt, a trace, replications and a
sweep. mypy --strict finds nothing to say about it, and it runs."""
import io
import random
from typing import Any, Dict, Generator, List, Optional, Union

from vorm import (Command, Facility, Interrupt, Process, Replications, Signal, Simulation, Store, Tally, Tank,
                  all_of, first, hold, interval, passivate, replicate, sweep, wait)
from vorm.ext import RequestBinaryHeap
from vorm.trace import CsvTrace

Steps = Generator[Union[Command, float], Any, None]


def depot(seed: int, rate: float = 1.0, parts: int = 60) -> Dict[str, float]:
    rng = random.Random(seed)
    sim = Simulation()
    shelf = Store(sim, capacity=5, name="shelf")
    oil = Tank(sim, capacity=100.0, init=50.0, name="oil")
    desk = Facility(sim, capacity=2, line=RequestBinaryHeap(), name="desk", limit=10)
    closing = Signal(sim, "closing")
    picks = Tally("pick wait", sim)
    sleepers: List[Process] = []

    def supplier() -> Steps:
        for number in range(parts):
            yield hold(rng.expovariate(rate))
            yield shelf.put(number)
        yield all_of(oil.put(10.0), hold(1.0))
        closing.set("closed")

    def picker() -> Steps:
        while True:
            asked = sim.now
            index, _ = yield first(shelf.get(), wait(closing))
            if index == 1:
                return
            picks.add(sim.now - asked)
            served: bool = yield desk.seize(priority=rng.random(), patience=2.0)
            if served:
                yield hold(rng.expovariate(2.0), "done")
                desk.release()
            yield oil.get(0.5)

    def sleeper() -> Steps:
        try:
            yield hold(1000.0)
        except Interrupt as stop:
            left: Optional[float] = stop.left
            assert left is not None and stop.cause == "wake"
        value = yield passivate()
        assert value == "again"

    def waker(target: Process) -> Steps:
        yield 1.5
        target.interrupt("wake")
        yield hold(0.5)
        target.reactivate("again")

    sim.start(supplier(), name="supplier")
    for _ in range(2):
        sim.start(picker())
    sleepers.append(sim.start(sleeper()))
    sim.start(waker(sleepers[0]), delay=0.25)
    with io.StringIO() as stream:
        sim.trace = CsvTrace(stream)
        sim.run(until=5)
        sim.trace = None
    sim.run(until=closing)
    sim.run()
    return {"wait": picks.mean(), "served": float(desk.served), "oil": oil.amount, "end": sim.now}


def main() -> None:
    runs: Replications = replicate(depot, 4, seed=7, params={"rate": 1.5})
    mean, half = runs.interval("wait")
    print(runs.table(), mean - half, mean + half)
    ends = interval(runs.outputs["end"], confidence=0.9)
    print("end %.2f +/- %.2f" % ends)
    table = sweep(depot, {"rate": [1.0, 2.0]}, 2, params={"parts": 30})
    print(table.at(rate=2.0).mean("served"))


if __name__ == "__main__":
    main()
