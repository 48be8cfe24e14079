"""The layer's exceptions. Every misuse raises a SimulationError whose
`process` names the process that made it (None outside any process)."""


class SimulationError(Exception):
    """A rule of the simulation was broken; `process` names the culprit."""

    def __init__(self, message, process=None):
        Exception.__init__(self, message)
        self.process = process


class ProcessError(SimulationError):
    """An exception escaped from a process; `exception` is the original."""

    def __init__(self, process, exception):
        SimulationError.__init__(self, "process %r raised %s: %s" % (
            process.name, type(exception).__name__, exception), process)
        self.exception = exception
        self.__cause__ = exception


class CommandError(SimulationError, TypeError):
    """Something that is not a command was yielded, or a command got an
    argument of the wrong type."""


class ArgumentError(SimulationError, ValueError):
    """A command or a facility got a value outside its range."""


class StateError(SimulationError, RuntimeError):
    """An operation does not fit the state of a process or simulation."""


class Interrupt(Exception):
    """Raised inside a process that another interrupted with a cause, at the
    yield where it waited: `cause` is what the interrupter gave, `left` the
    time its hold still had to run (None when it was not holding)."""

    def __init__(self, cause=None, left=None):
        Exception.__init__(self, cause)
        self.cause = cause
        self.left = left

    def __str__(self):
        return "interrupted: %r" % (self.cause,)
