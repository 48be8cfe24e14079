# The number of replications given as text.
from typing import Dict

from vorm import Simulation, replicate


def model(seed: int) -> Dict[str, float]:
    sim = Simulation()
    sim.run()
    return {"end": sim.now}


runs = replicate(model, "10")  # E: arg-type
