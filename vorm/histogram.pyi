"""Histograms of the observations a Tally keeps."""
from typing import Any, Iterable, List, Optional, Sequence, Union

from vorm._kernel import Tally

_Bins = Union[None, int, Iterable[float]]

class Histogram:
    """Counts per bin: `edges` (k + 1), `counts` (k), and `below` and `above` for values outside."""
    edges: List[float]
    counts: List[int]
    below: int
    above: int
    name: str
    def __init__(self, edges: Iterable[float], counts: Iterable[int], below: int = ..., above: int = ...,
                 name: str = ...) -> None: ...
    @property
    def total(self) -> int: ...
    def text(self, width: int = ...) -> str: ...
    def plot(self, axes: Optional[Any] = ..., **options: Any) -> Any:
        """Draws the bars with matplotlib on axes (or the current axes); returns the axes."""

def edges_for(values: Sequence[float], bins: _Bins = ...) -> List[float]: ...
def count(values: Iterable[float], edges: Sequence[float], name: str = ...) -> Histogram: ...
def of_tally(tally: Tally, bins: _Bins = ...) -> Histogram: ...
