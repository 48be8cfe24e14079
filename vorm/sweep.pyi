"""Parameter sweeps: a model run at every point of a grid, n replications at each."""
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union

from _typeshed import StrPath, SupportsWrite

from vorm.replicate import Replications, _Executor, _Model

# Each parameter's name and its values, as a mapping or as pairs.
_Grid = Union[Mapping[str, Iterable[Any]], Iterable[Tuple[str, Iterable[Any]]]]

def grid_points(grid: _Grid) -> Tuple[List[str], List[Dict[str, Any]]]:
    """The names of the swept parameters and the points of the grid, the last parameter fastest."""

class Sweep:
    """The Replications at every point of a grid."""
    names: List[str]
    points: List[Dict[str, Any]]
    replications: List[Replications]
    def __init__(self, names: Iterable[str], points: Iterable[Dict[str, Any]],
                 replications: Iterable[Replications]) -> None: ...
    def __len__(self) -> int: ...
    def at(self, **values: Any) -> Replications:
        """The Replications of the point whose parameters have these values."""
    def rows(self) -> List[List[Any]]: ...
    def header(self) -> List[str]: ...
    def table(self) -> str: ...
    def _repr_html_(self) -> str: ...
    def write_csv(self, target: Union[StrPath, SupportsWrite[str]]) -> None: ...
    def to_dataframe(self) -> Any:
        """rows() as a pandas DataFrame."""

def sweep(model: _Model, grid: _Grid, n: int, seed: int = ..., params: Optional[Mapping[str, Any]] = ...,
          executor: Optional[_Executor] = ..., progress: Optional[bool] = ..., confidence: float = ...) -> Sweep:
    """Runs model(seed_i, **params, **point) for every point of grid and i = 0 .. n-1."""
