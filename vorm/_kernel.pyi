"""vorm._kernel: the simulation layer's native types; vorm.simulation,
vorm.facility, vorm.monitor and vorm.stores re-export them."""
from typing import Any, Callable, Generator, Iterable, List, Optional, Tuple, TypeVar, Union, overload

from _typeshed import StrPath, SupportsWrite
from typing_extensions import Literal, Protocol, Self, final

from vorm.ext import LinkedRequest, Request, RequestListFIFO, TimeRequest, _RequestContainer
from vorm.histogram import Histogram, _Bins
# The kernel's commands are typed as Commands, so that a generator's yield
# type can name them all, though at run time they do not derive from it.
from vorm.simulation import Command, Signal

_C = TypeVar("_C", bound=_RequestContainer[Any])
_R = TypeVar("_R", bound=Request)

# What a process may yield: a command, or a number, which holds that long.
_Yielded = Union[Command, float]
_Trace = Callable[[float, Optional[Process], str, Any], object]

class _Clock(Protocol):
    # A monitor reads the time from its sim; anything with a `now` will do.
    @property
    def now(self) -> float: ...

class Simulation:
    """The clock, the event list and the processes of one model."""
    def __init__(self) -> None: ...
    @property
    def now(self) -> float:
        """The simulated time."""
    @property
    def active(self) -> Optional[Process]:
        """The running process, or None."""
    @property
    def pending(self) -> int: ...
    @property
    def alive(self) -> int: ...
    @property
    def running(self) -> bool: ...
    @property
    def closed(self) -> bool: ...
    @property
    def trace(self) -> Optional[_Trace]:
        """The hook called as hook(time, process, what, value) at every event."""
    @trace.setter
    def trace(self, hook: Optional[_Trace]) -> None: ...
    @property
    def _containers(self) -> List[_RequestContainer[Any]]: ...
    def start(self, generator: Generator[Any, Any, Any], name: Any = ..., delay: float = ...) -> Process:
        """Makes a Process of the generator and schedules it after delay."""
    def run(self, until: Union[None, float, Process, Signal] = ...) -> Any:
        """Runs until no event is left, until a time, or until a process finishes or a signal is set."""
    def peek(self) -> float:
        """The time of the next event; inf when there is none."""
    def stop(self, __value: Any = ...) -> None:
        """Ends the running run(), which returns value."""
    def close(self) -> None:
        """Closes every unfinished process and empties every line."""
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc: object) -> Literal[False]: ...
    def _register(self, __container: _C) -> _C: ...
    def _fire(self, __entry: Request, __value: Any = ...) -> None: ...
    def _throw(self, __entry: Request, __exception: BaseException) -> None: ...
    def _stopper(self, __container: _RequestContainer[Any], __target: Any) -> LinkedRequest: ...

@final
class Process(TimeRequest):
    """A running generator; Simulation.start makes one."""
    @property
    def sim(self) -> Simulation: ...
    @property
    def generator(self) -> Generator[Any, Any, Any]: ...
    @property
    def finished(self) -> bool: ...
    @property
    def passive(self) -> bool: ...
    @property
    def state(self) -> Literal["scheduled", "holding", "waiting", "passive", "suspended", "finished", "granted"]: ...
    @property
    def result(self) -> Any:
        """What the generator returned, once it has finished."""
    @property
    def wakes(self) -> Optional[float]:
        """When it next wakes, or None."""
    # The kernel places a process in its lines: on a process these
    # request fields can be read, not assigned.
    @property  # type: ignore[override]
    def futureTime(self) -> float: ...
    @property  # type: ignore[override]
    def priority(self) -> float: ...
    @property  # type: ignore[override]
    def queue(self) -> Optional[_RequestContainer[Any]]: ...
    def record(self, __request: _R) -> _R:
        """Adds request to the process's chain."""
    def mark(self, name: Any, val: Any = ...) -> Request:
        """Records a named mark, now, in the process's chain."""
    def interrupt(self, __cause: Any = ...) -> None:
        """Ends a hold at once; with a cause, raises Interrupt(cause) in the process whatever it waits for."""
    def reactivate(self, value: Any = ..., delay: float = ...) -> None:
        """Resumes a passive process after delay; its passivate() evaluates to value."""
    # Unlike the request's hook, it counts what it released.
    def releaseAllFacilities(self, *facilities: Facility) -> int:  # type: ignore[override]
        """Releases every server the process holds (of the facilities given, or of all)."""
    def _wait_in(self, __container: _RequestContainer[Any], __target: Any) -> object: ...
    def _passivate(self) -> object: ...
    def _joiners(self) -> RequestListFIFO: ...

class Facility:
    """capacity identical servers, for which processes wait in line."""
    def __init__(self, sim: Simulation, capacity: int = ..., line: Optional[_RequestContainer[Any]] = ...,
                 name: str = ..., limit: Optional[int] = ..., preemptive: bool = ..., series: bool = ...) -> None: ...
    @property
    def sim(self) -> Simulation: ...
    name: str
    capacity: int
    """The number of servers; raising it serves the line at once."""
    limit: Optional[int]
    """The longest line a process joins (else it balks), or None."""
    @property
    def preemptive(self) -> bool: ...
    @property
    def line(self) -> _RequestContainer[Any]:
        """The entries waiting for a server."""
    @property
    def users(self) -> RequestListFIFO:
        """The entries holding a server."""
    wait: Tally
    length: Level
    busy: Level
    balked: int
    reneged: int
    preempted: int
    @property
    def served(self) -> int:
        """Servers handed out."""
    def seize(self, priority: float = ..., patience: Optional[float] = ...) -> Seize:
        """got = yield facility.seize(): True once a server is held, False if the process balked or reneged."""
    def release(self, process: Optional[Process] = ...) -> None:
        """Gives back a server of process (the running one by default)."""
    def reset(self) -> None:
        """Restarts the monitors and counters."""

@final
class Seize(Command):
    """The command of facility.seize()."""
    def __new__(cls, facility: Facility, priority: float = ..., patience: Optional[float] = ...) -> Seize: ...
    @property
    def facility(self) -> Optional[Facility]: ...
    @property
    def priority(self) -> float: ...
    @property
    def patience(self) -> Optional[float]: ...

# A plain hold is its delay as a float; only a hold that carries a value
# makes a Hold.
@overload
def hold(delay: float) -> float:
    """yield hold(d) suspends the process for d time units."""
@overload
def hold(delay: float, value: Any) -> Hold: ...

@final
class Hold(Command):
    """yield hold(d, value): d time units pass; evaluates to value."""
    @property
    def delay(self) -> float: ...
    @property
    def value(self) -> Any: ...

def wait(__what: Union[Process, Signal]) -> Wait:
    """yield wait(x) waits until process x finishes (evaluating to its result) or signal x is set."""

@final
class Wait(Command):
    """The command of wait()."""
    @property
    def what(self) -> Any: ...

def first(*commands: _Yielded) -> Condition:
    """yield first(a, b) waits for the first of the commands; evaluates to (index, value)."""
def all_of(*commands: _Yielded) -> Condition:
    """yield all_of(a, b) waits for every command; evaluates to the list of their values."""

@final
class Condition(Command):
    """The command of first() and all_of()."""
    @property
    def commands(self) -> Tuple[_Yielded, ...]: ...
    @property
    def all(self) -> bool: ...

@final
class Timer(TimeRequest):
    """The timer of a branch of first() or all_of()."""

class Tally:
    """Count, mean, variance, minimum and maximum of observations."""
    def __init__(self, name: str = ..., sim: Optional[_Clock] = ..., series: bool = ...,
                 bins: Optional[Iterable[float]] = ...) -> None: ...
    name: str
    @property
    def sim(self) -> Optional[_Clock]: ...
    @property
    def series(self) -> Optional[List[Tuple[float, float]]]:
        """The (time, value) points, or None."""
    @property
    def count(self) -> int: ...
    @property
    def bins(self) -> Optional[Tuple[List[float], List[int], int, int]]:
        """(edges, counts, below, above) of its own bins, or None."""
    @property
    def total(self) -> float: ...
    @property
    def min(self) -> float: ...
    @property
    def max(self) -> float: ...
    def add(self, __x: float) -> None: ...
    def reset(self) -> None: ...
    def mean(self) -> float: ...
    def variance(self) -> float: ...
    def stdev(self) -> float: ...
    def write_csv(self, __path: Union[StrPath, SupportsWrite[str]]) -> None: ...
    def histogram(self, bins: _Bins = ...) -> Histogram: ...

class Level:
    """The time average, minimum and maximum of a quantity that changes over simulated time."""
    def __init__(self, sim: _Clock, name: str = ..., value: float = ..., series: bool = ...) -> None: ...
    name: str
    @property
    def sim(self) -> _Clock: ...
    @property
    def series(self) -> Optional[List[Tuple[float, float]]]:
        """The (time, value) changes, or None."""
    @property
    def value(self) -> float: ...
    @property
    def min(self) -> float: ...
    @property
    def max(self) -> float: ...
    def set(self, __value: float) -> None: ...
    def add(self, __delta: float = ...) -> None: ...
    def reset(self) -> None: ...
    def mean(self) -> float: ...
    def write_csv(self, __path: Union[StrPath, SupportsWrite[str]]) -> None: ...

class Buffer:
    """What stores and tanks share: their lines and monitors."""
    @property
    def sim(self) -> Simulation: ...
    name: str
    @property
    def getters(self) -> RequestListFIFO:
        """The entries of the processes waiting to get."""
    @property
    def putters(self) -> RequestListFIFO:
        """The entries of the processes waiting to put."""
    contents: Level
    get_wait: Tally
    put_wait: Tally
    def reset(self) -> None: ...

class Store(Buffer):
    """Items that processes put and get, waiting while it is full or empty."""
    def __init__(self, sim: Simulation, capacity: Optional[int] = ..., name: str = ..., priority: bool = ...,
                 series: bool = ...) -> None: ...
    @property
    def items(self) -> List[Any]:
        """The items, in the order they are served."""
    @property
    def capacity(self) -> float:
        """An int, or inf for a store without a bound."""
    @property
    def priority(self) -> bool: ...
    def put(self, item: Any, priority: float = ...) -> Transfer: ...
    def get(self, filter: Optional[Callable[[Any], object]] = ...) -> Transfer: ...
    def __len__(self) -> int: ...

class Tank(Buffer):
    """An amount that processes put and get, waiting until it fits or is there."""
    def __init__(self, sim: Simulation, capacity: Optional[float] = ..., init: float = ..., name: str = ...,
                 series: bool = ...) -> None: ...
    @property
    def amount(self) -> float: ...
    @property
    def capacity(self) -> float: ...
    def put(self, __amount: float) -> Transfer: ...
    def get(self, __amount: float) -> Transfer: ...

@final
class Transfer(Command):
    """yield store.put(item), store.get(), tank.put(x), tank.get(x)."""
    @property
    def target(self) -> Union[Store, Tank]: ...
    @property
    def get(self) -> bool: ...
    @property
    def item(self) -> Any: ...
    @property
    def filter(self) -> Optional[Callable[[Any], object]]: ...

@final
class TransferEntry(LinkedRequest):
    """The entry of a process waiting to put or get."""
    @property
    def item(self) -> Any: ...
    @property
    def amount(self) -> float: ...

PARKED: object
