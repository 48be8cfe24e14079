"""vorm: discrete-event process simulation.

The simulation layer (processes, facilities, monitors, replications and
sweeps, serially or on worker processes: vorm.parallel) stands on two
native modules: `vorm.ext`, the core of request objects, the queues that
hold them and the normal and Student-t distribution functions, and
`vorm._kernel`, the layer's hot rules as native types.
"""

# The one place of the version: setup.py and tools/wheelbuild.py read it.
__version__ = "0.2.0"

from vorm.simulation import (ArgumentError, Command, CommandError, Interrupt, Process, ProcessError, Signal,
                             Simulation, SimulationError, StateError, all_of, first, hold, passivate, wait)
from vorm.facility import Facility, Seize
from vorm.monitor import Histogram, Level, Tally
from vorm.stores import Store, Tank
from vorm.replicate import Replications, WorkerLost, interval, replicate, seed_for
from vorm.sweep import Sweep, sweep

__all__ = ["ArgumentError", "Command", "CommandError", "Facility", "Histogram", "Interrupt", "Level", "Process",
           "ProcessError", "Replications", "Seize", "Signal", "Simulation", "SimulationError", "StateError",
           "Store", "Sweep", "Tally", "Tank", "WorkerLost", "all_of", "first", "hold", "interval", "passivate", "replicate",
           "seed_for", "sweep", "wait"]
