"""vorm.ext: requests, the containers that hold them, and distribution functions."""
from typing import Any, Generic, Iterator, List, Optional, Tuple, TypeVar, Union

_R = TypeVar("_R", bound="LinkedRequest")
_Number = Union[float, int]

class Request:
    """Something a simulated process waits for; heads a chain through prev."""
    parent: Optional[Request]
    """The request on whose behalf this one was made; assigning None is refused."""
    name: Any
    """The key under which chain look-ups find this request."""
    prev: Optional[Request]
    """The previous request of the chain, or None at its end."""
    val: Any
    """The value that subscripting the chain by name returns."""
    queue: Optional[_RequestContainer[Any]]
    """The container holding the request; a held request's queue cannot change."""
    firedTime: float
    """When the request fired; -1.0 until set."""
    target: Any
    """Free for the simulation's use."""
    canceled: Any
    """Free for the simulation's use."""
    def __init__(self, parent: Optional[Request] = ..., name: Any = ..., prev: Optional[Request] = ...,
                 val: Any = ..., queue: Optional[_RequestContainer[Any]] = ..., firedTime: float = ...,
                 priority: float = ..., target: Any = ..., canceled: Any = ...) -> None:
        """Sets the given fields; firedTime returns to -1.0 unless given; priority is ignored."""
    def time(self, key: Any) -> float:
        """firedTime of the first chain element whose name equals key; KeyError if none."""
    def index(self, key: Any) -> int:
        """Position of the first chain element whose name is the very object key."""
    def names(self) -> List[Any]:
        """The names of the chain, this request first."""
    def namesAndValues(self) -> List[Tuple[Any, Any]]:
        """(name, val) of every chain element, this request first."""
    def namesAndTimes(self) -> List[Tuple[Any, float]]:
        """(name, firedTime) of every chain element, this request first."""
    def append(self, other: Optional[Request]) -> Request:
        """Hangs other behind the last element of the chain; returns self."""
    def delete(self, arg: Any) -> None:
        """Does nothing; a hook for subclasses."""
    def suspend(self, arg: Any) -> None:
        """Does nothing; a hook for subclasses."""
    def resume(self, arg: Any) -> None:
        """Does nothing; a hook for subclasses."""
    def action(self, arg: Any) -> None:
        """Does nothing; a hook for subclasses."""
    def getContinuation(self) -> Any:
        """Asks the parent for its continuation (climbs the parent links)."""
    def releaseAllFacilities(self, *args: Any) -> None:
        """Does nothing; a hook for subclasses."""
    def __contains__(self, key: Any) -> bool:
        """Whether some chain element's name equals key."""
    def __getitem__(self, key: Any) -> Any:
        """val of the first chain element whose name equals key; KeyError if none."""
    def __iter__(self) -> Iterator[Request]:
        """The chain's requests, this one first."""

class LinkedRequest(Request):
    """A request that a container can hold (it carries the container's link words)."""

class PriorityRequest(LinkedRequest):
    """A request with a priority and a creation identifier, for RequestBinaryHeap."""
    priority: float
    """Larger is served first; changing it does not reorder a heap holding the request."""
    def __init__(self, priority: float = ..., parent: Optional[Request] = ..., name: Any = ...,
                 prev: Optional[Request] = ..., val: Any = ..., queue: Optional[_RequestContainer[Any]] = ...,
                 firedTime: float = ..., target: Any = ..., canceled: Any = ...) -> None:
        """Sets the given fields; priority and firedTime restart from 0.0 and -1.0."""

class TimeRequest(PriorityRequest):
    """A request that falls due at a simulated time, for TimeRequestBinaryHeap."""
    futureTime: float
    """When the request falls due; changing it does not reorder a heap holding it."""
    def __init__(self, futureTime: float = ..., priority: float = ..., parent: Optional[Request] = ...,
                 name: Any = ..., prev: Optional[Request] = ..., val: Any = ...,
                 queue: Optional[_RequestContainer[Any]] = ..., firedTime: float = ..., target: Any = ...,
                 canceled: Any = ...) -> None:
        """Sets the given fields; futureTime, priority and firedTime restart from 0.0, 0.0, -1.0."""

class _RequestContainer(Generic[_R]):
    """The methods every request container shares (the base is not published)."""
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Any arguments are accepted and ignored."""
    def push(self, val: _R) -> None:
        """Stores a free request (queue None); its queue becomes this container."""
    def create(self, *args: Any, **kwargs: Any) -> _R:
        """A new request of the element type, not stored."""
    def get(self) -> _R:
        """The request pop would return; IndexError "empty queue" if empty."""
    def pop(self) -> _R:
        """Removes and returns the next request; its queue becomes None."""
    def delete(self, val: _R) -> None:
        """Removes a request held here, wherever it is stored."""
    def empty(self) -> bool:
        """Whether nothing is stored."""
    def clear(self) -> None:
        """Frees every stored request."""
    def moveTo(self, to: _RequestContainer[Any]) -> None:
        """Hands every request to to.push, in this container's move order."""
    def __len__(self) -> int:
        """The number of stored requests."""
    def __iter__(self) -> Iterator[_R]:
        """The stored requests in storage order (not necessarily pop order)."""

class RequestArray(_RequestContainer[LinkedRequest]):
    """Last in, first out, in a growable array; delete moves the last request into the gap."""
    def __getitem__(self, index: int) -> LinkedRequest:
        """The request in slot index (negative counts from the end)."""

class RequestArrayStack(RequestArray):
    """Like RequestArray, but delete keeps the order of the rest."""

class RequestDEQFIFO(_RequestContainer[LinkedRequest]):
    """First in, first out, in a ring buffer that grows and shrinks with the count."""

class RequestListFIFO(_RequestContainer[LinkedRequest]):
    """First in, first out, threaded through the requests; allocates nothing."""

class RequestListStack(RequestListFIFO):
    """Last in, first out, threaded through the requests; allocates nothing."""

class RequestBinaryHeap(_RequestContainer[PriorityRequest]):
    """Highest priority first, then the oldest request."""
    def merge(self, other: RequestBinaryHeap) -> None:
        """Takes over every request of other, which ends empty."""

class TimeRequestBinaryHeap(_RequestContainer[TimeRequest]):
    """Earliest futureTime first, then highest priority, then the oldest request."""
    def merge(self, other: TimeRequestBinaryHeap) -> None:
        """Takes over every request of other, which ends empty."""

class PriorityQueue:
    """(key, item) pairs of any objects; the smallest key is served first."""
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Any arguments are accepted and ignored."""
    def push(self, key: Any, item: Any) -> None:
        """Stores item under key; a raising key comparison adds nothing."""
    def get(self) -> Any:
        """The item of the smallest key; IndexError "empty queue" if empty."""
    def pop(self) -> Any:
        """Removes and returns the item of the smallest key."""
    def empty(self) -> bool:
        """Whether the queue holds nothing."""
    def __len__(self) -> int:
        """The number of entries."""
    def __iter__(self) -> Iterator[Any]:
        """The items in heap order (not serving order)."""

def RequestIDInitialize() -> None:
    """Restarts request identifiers at 0."""
def dnorm(x: _Number) -> float:
    """Density of the standard normal distribution."""
def pnorm(x: _Number) -> float:
    """Distribution function of the standard normal distribution."""
def qnorm(p: _Number) -> float:
    """Normal quantile by bisection (about 1e-6 in x); RuntimeError "divergence error" outside its range."""
def dt(x: _Number, df: int) -> float:
    """Density of Student's t distribution with df degrees of freedom."""
def pt(x: _Number, df: int) -> float:
    """Distribution function of Student's t distribution."""
def qt(p: _Number, df: int) -> float:
    """Student t quantile; RuntimeError "divergence error" in far tails; no quantile (NaN or a
    meaningless number) for df <= 0."""
def terminateProcess(handle: int, exitCode: int) -> None:
    """Ends a process: -1 or the own pid exits now with exitCode; another pid is killed."""
def loadLibrary(path: Union[str, bytes]) -> None:
    """Loads a shared library for the rest of the process's life; OSError if it cannot."""
