"""The README's M/M/1 line as a user annotates it: mypy --strict finds
nothing to say about it, and it runs."""
import random
from typing import Any, Generator, Union

from vorm import Command, Facility, Simulation, hold

# What a process yields: commands, or plain numbers for holds.
Steps = Generator[Union[Command, float], Any, None]

rng = random.Random(1)
sim = Simulation()
clerk = Facility(sim, name="clerk")


def customer() -> Steps:
    yield clerk.seize()
    yield hold(rng.expovariate(1.0))
    clerk.release()


def arrivals(count: int) -> Steps:
    for _ in range(count):
        yield hold(rng.expovariate(0.9))
        sim.start(customer())


sim.start(arrivals(2000))
sim.run()
wait: float = clerk.wait.mean()
length: float = clerk.length.mean()
busy: float = clerk.busy.mean()
print(wait, length, busy)
