# A facility needs its Simulation, not a name for it.
from vorm import Facility

clerk = Facility("sim")  # E: arg-type
