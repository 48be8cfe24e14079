"""Processes and the event loop: the kernel's types, and the commands and
signals written in Python."""
from typing import Any, List, Optional, Union

from vorm._kernel import Process, Simulation, all_of, first, hold, wait
from vorm.errors import ArgumentError, CommandError, Interrupt, ProcessError, SimulationError, StateError
from vorm.ext import RequestListFIFO

__all__ = ["ArgumentError", "Command", "CommandError", "Interrupt", "Process", "ProcessError", "Signal",
           "Simulation", "SimulationError", "StateError", "all_of", "first", "hold", "passivate", "wait"]

class Command:
    """What a process yields. The kernel's commands (seize, hold with a value,
    first, all_of, a store's or tank's put and get) are typed as Commands too,
    so that a generator's yield type can name them all, though at run time
    they do not derive from this class. A command written in Python derives
    from it and defines _apply."""
    def _apply(self, sim: Simulation, process: Process) -> Any: ...

def passivate() -> Command:
    """yield passivate() waits until another process calls reactivate(value); evaluates to value."""


class Signal:
    """Something processes wait for and another process sets; stays set until reset."""
    sim: Simulation
    name: str
    value: Any
    is_set: bool
    failure: Optional[BaseException]
    waiters: RequestListFIFO
    def __init__(self, sim: Simulation, name: str = ...) -> None: ...
    def set(self, value: Any = ...) -> None:
        """Sets the signal and resumes every waiting process; each wait evaluates to value."""
    def fail(self, exception: BaseException) -> None:
        """Raises exception in every process that waits, until the signal is reset."""
    def reset(self) -> None: ...
