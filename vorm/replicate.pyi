"""Replications: a model run n times with independent, reproducible seeds."""
from typing import Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union

from _typeshed import StrPath, SupportsWrite
from typing_extensions import Protocol

_T = TypeVar("_T")
_S = TypeVar("_S")

# model(seed, **params) returns its named outputs.
_Model = Callable[..., Mapping[str, float]]

class _Executor(Protocol):
    # A multiprocessing pool, a concurrent.futures executor, a dask client or
    # its executor: anything with map(fn, iterable).
    def map(self, __fn: Callable[[Any], Any], __items: Iterable[Any]) -> Iterable[Any]: ...

class _TextStream(Protocol):
    def write(self, __text: str) -> object: ...
    def flush(self) -> object: ...

def seed_for(base: int, index: int) -> int:
    """The seed of replication index of a run with base seed base."""
def interval(values: Sequence[float], confidence: float = ...) -> Tuple[float, float]:
    """(mean, confidence half-width) of independent values (Student t)."""

class Replications:
    """The outputs of n replications: outputs[name] lists one value per replication."""
    seeds: List[int]
    confidence: float
    outputs: Dict[str, List[float]]
    names: List[str]
    def __init__(self, seeds: Iterable[int], results: Iterable[Mapping[str, float]],
                 confidence: float = ...) -> None: ...
    def __len__(self) -> int: ...
    def interval(self, name: str) -> Tuple[float, float]:
        """(mean, half-width) of output name."""
    def mean(self, name: str) -> float: ...
    def half_width(self, name: str) -> float: ...
    def table(self) -> str: ...
    def _repr_html_(self) -> str: ...
    def header(self) -> List[str]: ...
    def rows(self) -> List[List[Any]]:
        """One row per replication: its index, its seed and its outputs."""
    def write_csv(self, target: Union[StrPath, SupportsWrite[str]]) -> None: ...
    def to_dataframe(self) -> Any:
        """rows() as a pandas DataFrame."""

def html_table(caption: str, head: Sequence[object], body: Iterable[Sequence[object]], labels: int) -> str: ...
def write_csv(target: Union[StrPath, SupportsWrite[str]], header: Sequence[object],
              rows: Iterable[Sequence[object]]) -> None: ...

class WorkerLost(RuntimeError):
    """A worker process died while replications ran and the run cannot go on."""

class _Run:
    model: _Model
    params: Dict[str, Any]
    def __init__(self, model: _Model, params: Dict[str, Any]) -> None: ...
    def describe(self, seed: int) -> str: ...
    def __call__(self, seed: int) -> Dict[str, float]: ...

def check_picklable(model: object) -> None: ...
def as_executor(executor: Optional[_Executor]) -> Optional[_Executor]: ...
def check_executor(executor: Optional[_Executor], runs: Iterable[_Run]) -> None: ...
def dispatch(executor: Optional[_Executor], fn: Callable[[_T], _S], items: Iterable[_T]) -> Iterator[_S]: ...
def collect(executor: Optional[_Executor], fn: Callable[[_T], _S], items: Sequence[_T], progress: Optional[bool],
            stream: Optional[_TextStream] = ..., clock: Optional[Callable[[], float]] = ...) -> List[_S]: ...
def replicate(model: _Model, n: int, seed: int = ..., params: Optional[Mapping[str, Any]] = ...,
              executor: Optional[_Executor] = ..., progress: Optional[bool] = ...,
              confidence: float = ...) -> Replications:
    """Runs model(seed_for(seed, i), **params) for i = 0 .. n-1."""
