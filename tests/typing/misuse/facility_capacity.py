# A capacity given as text: the number of servers is an int.
from vorm import Facility, Simulation

sim = Simulation()
clerks = Facility(sim, capacity="2")  # E: arg-type
