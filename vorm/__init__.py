"""vorm: discrete-event process simulation.

The simulation layer (processes, facilities, monitors, replications and
sweeps, serially or on worker processes: vorm.parallel) is
plain Python on the native core `vorm.ext`: request objects, the queues
that hold them, and the normal and Student-t distribution functions.
"""

# The one place of the version: setup.py and tools/wheelbuild.py read it.
__version__ = "0.2.0"

import os

from vorm.simulation import (ArgumentError, Command, CommandError, Process, ProcessError, Signal, Simulation,
                             SimulationError, StateError, hold, passivate, wait)
from vorm.facility import Facility, Seize
from vorm.monitor import Level, Tally
from vorm.replicate import Replications, WorkerLost, interval, replicate, seed_for
from vorm.sweep import Sweep, sweep
from vorm import speedups as _fast_path

_fast_path.enable(not os.environ.get("VORM_PURE_PYTHON"))

__all__ = ["ArgumentError", "Command", "CommandError", "Facility", "Level", "Process", "ProcessError", "Seize",
           "Replications", "Signal", "Simulation", "SimulationError", "StateError", "Sweep", "Tally", "WorkerLost",
           "hold", "interval", "passivate", "replicate", "seed_for", "sweep", "wait"]
