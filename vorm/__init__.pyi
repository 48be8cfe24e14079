"""vorm: discrete-event process simulation."""
from vorm.facility import Facility, Seize
from vorm.monitor import Histogram, Level, Tally
from vorm.replicate import Replications, WorkerLost, interval, replicate, seed_for
from vorm.simulation import (ArgumentError, Command, CommandError, Interrupt, Process, ProcessError, Signal,
                             Simulation, SimulationError, StateError, all_of, first, hold, passivate, wait)
from vorm.stores import Store, Tank
from vorm.sweep import Sweep, sweep

__version__: str

__all__ = ["ArgumentError", "Command", "CommandError", "Facility", "Histogram", "Interrupt", "Level", "Process",
           "ProcessError", "Replications", "Seize", "Signal", "Simulation", "SimulationError", "StateError",
           "Store", "Sweep", "Tally", "Tank", "WorkerLost", "all_of", "first", "hold", "interval", "passivate",
           "replicate", "seed_for", "sweep", "wait"]
