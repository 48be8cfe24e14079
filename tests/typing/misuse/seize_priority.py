# A priority is a number (larger first), not a word.
from typing import Any, Generator, Union

from vorm import Command, Facility, Simulation

sim = Simulation()
clerk = Facility(sim)


def customer() -> Generator[Union[Command, float], Any, None]:
    yield clerk.seize(priority="high")  # E: arg-type
    clerk.release()
