# run(until=...) takes a time, a process or a signal, not a word.
from vorm import Simulation

sim = Simulation()
sim.run(until="later")  # E: arg-type
