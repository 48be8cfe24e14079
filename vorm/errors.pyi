"""The layer's exceptions; `process` names the process that made the mistake."""
from typing import Any, Optional

from vorm._kernel import Process

class SimulationError(Exception):
    process: Optional[Process]
    def __init__(self, message: str, process: Optional[Process] = ...) -> None: ...

class ProcessError(SimulationError):
    """An exception escaped from a process; `exception` is the original."""
    exception: BaseException
    def __init__(self, process: Process, exception: BaseException) -> None: ...

class CommandError(SimulationError, TypeError): ...
class ArgumentError(SimulationError, ValueError): ...
class StateError(SimulationError, RuntimeError): ...

class Interrupt(Exception):
    """Raised in an interrupted process: `cause` as given, `left` the time its hold had left, or None."""
    cause: Any
    left: Optional[float]
    def __init__(self, cause: Any = ..., left: Optional[float] = ...) -> None: ...
