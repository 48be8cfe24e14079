# A facility's line is one of the core's request containers, not a list.
from vorm import Facility, Simulation

sim = Simulation()
clerk = Facility(sim, line=[])  # E: arg-type
