# interval() gives (mean, half-width), not text.
from typing import List

from vorm import interval

values: List[float] = [1.0, 2.5, 2.0]
x: str = interval(values)  # E: assignment
