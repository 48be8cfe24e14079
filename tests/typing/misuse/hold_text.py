# A delay given as text.
from typing import Any, Generator, Union

from vorm import Command, hold


def customer() -> Generator[Union[Command, float], Any, None]:
    yield hold("3")  # E: call-overload
