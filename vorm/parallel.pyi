"""Where replications run: in this process, in local worker processes or on a dask.distributed cluster."""
import argparse
import multiprocessing.pool
from typing import Any, ContextManager, Optional

from vorm.replicate import _Executor

CONNECT_TIMEOUT: float

class SchedulerUnreachable(IOError):
    """The dask scheduler did not answer, or has no workers, within the timeout."""

def scheduler_address(text: str) -> str:
    """tcp://HOST:PORT from HOST:PORT with or without tcp://; ValueError for anything else."""
def add_arguments(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """Adds --workers N and --scheduler tcp://HOST:PORT."""
def executor_for(args: argparse.Namespace, timeout: Optional[float] = ...,
                 parser: Optional[argparse.ArgumentParser] = ...) -> ContextManager[Optional[_Executor]]:
    """The executor context of parsed arguments (see add_arguments)."""
def executor(workers: Optional[int] = ..., scheduler: Optional[str] = ...,
             timeout: Optional[float] = ...) -> ContextManager[Optional[_Executor]]:
    """None, a pool of workers local processes, or the executor of a dask scheduler's client."""
def local_pool(workers: int) -> ContextManager[multiprocessing.pool.Pool]: ...
def connect(address: str, timeout: Optional[float] = ...) -> Any:
    """A dask.distributed Client of the scheduler at address, once it has a worker."""
