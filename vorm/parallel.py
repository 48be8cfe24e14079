"""Where replications run: in this process, in local worker processes or
on a dask.distributed cluster, chosen on the command line.

    parser = argparse.ArgumentParser()
    parallel.add_arguments(parser)        # --workers N, --scheduler ADDRESS
    args = parser.parse_args()
    with parallel.executor_for(args) as executor:
        print(replicate(model, 100, executor=executor))

The executor is None (serial) by default, a multiprocessing pool of N
processes for --workers N, and the executor of a dask.distributed Client
connected to the scheduler at ADDRESS for --scheduler; leaving the block
shuts it down. The numbers are the same in all three cases. dask is
imported only when a scheduler is asked for.
"""
from __future__ import division

import argparse
import contextlib
import multiprocessing
import signal
import sys
import time

# How long a scheduler may take to answer and to show a worker.
CONNECT_TIMEOUT = 5.0


class SchedulerUnreachable(IOError):
    """The dask scheduler did not answer, or has no workers, within the
    connection timeout."""


def _workers(text):
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError("needs a whole number of at least 1, got %r" % (text,))
    return count


def add_arguments(parser):
    """Adds --workers N and --scheduler tcp://HOST:PORT (which exclude each
    other) to an argparse parser; executor_for reads them back."""
    group = parser.add_argument_group("where replications run (default: one after another in this process)")
    choice = group.add_mutually_exclusive_group()
    choice.add_argument("--workers", type=_workers, metavar="N",
                        help="in N worker processes on this machine")
    choice.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="on the dask.distributed cluster whose scheduler listens at this address")
    return group


@contextlib.contextmanager
def executor_for(args, timeout=CONNECT_TIMEOUT, parser=None):
    """The executor context of parsed arguments (see add_arguments). Given
    the parser, an unreachable scheduler, a missing dask or a lost worker
    ends the program with one line of error, as a bad argument would."""
    entered = False
    try:
        with executor(workers=getattr(args, "workers", None), scheduler=getattr(args, "scheduler", None),
                      timeout=timeout) as chosen:
            entered = True
            yield chosen
    except (SchedulerUnreachable, _lost(), ImportError) as error:
        if parser is None or (entered and isinstance(error, ImportError)):
            raise
        parser.exit(1, "%s: error: %s\n" % (parser.prog, error))


def _lost():
    from vorm.replicate import WorkerLost
    return WorkerLost


@contextlib.contextmanager
def executor(workers=None, scheduler=None, timeout=CONNECT_TIMEOUT):
    """Yields the executor for replicate and sweep: None without arguments,
    a pool of `workers` local processes, or the executor of a client of the
    dask scheduler at address `scheduler`. A scheduler that does not answer
    within `timeout` seconds raises SchedulerUnreachable before the block
    runs. Leaving the block shuts the executor down; leaving it by an
    exception also stops whatever still runs."""
    if workers is not None and scheduler is not None:
        raise ValueError("give workers or a scheduler, not both")
    if scheduler is not None:
        with _dask(scheduler, timeout) as client_executor:
            yield client_executor
    elif workers is not None:
        with local_pool(workers) as pool:
            yield pool
    else:
        yield None


def _ignore_interrupts():
    # Ctrl-C reaches the whole process group; only the parent should act on
    # it, by terminating its pool, rather than every worker printing a
    # traceback of its own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def local_pool(workers):
    """A multiprocessing pool of `workers` processes; closed and joined
    when the block ends, terminated when it ends by an exception.
    replicate and sweep raise WorkerLost when one of its workers dies."""
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError("a local pool needs at least 1 worker, got %r" % (workers,))
    pool = multiprocessing.Pool(workers, _ignore_interrupts)
    try:
        yield pool
    except BaseException:
        pool.terminate()
        pool.join()
        raise
    pool.close()
    pool.join()


def connect(address, timeout=CONNECT_TIMEOUT):
    """A dask.distributed Client of the scheduler at `address`, once that
    scheduler has at least one worker. Raises SchedulerUnreachable, naming
    the address, when it does not answer or shows no worker within
    `timeout` seconds, and ImportError when dask.distributed is missing."""
    try:
        import distributed
    except ImportError as error:
        raise ImportError("running on the dask scheduler at %s needs dask.distributed, which %s cannot import "
                          "(%s); on Debian: apt-get install python3-distributed" % (address, sys.executable, error))
    started = time.time()
    try:
        client = distributed.Client(address, timeout=timeout, set_as_default=False)
    except (OSError, IOError, distributed.TimeoutError) as error:
        raise SchedulerUnreachable("cannot reach the dask scheduler at %s within %g s: %s" % (
            address, timeout, error))
    try:
        # A scheduler without workers would keep every replication waiting.
        while not client.scheduler_info().get("workers"):
            if time.time() - started > timeout:
                raise SchedulerUnreachable("the dask scheduler at %s has no workers after %g s; start some "
                                           "with: dask-worker %s" % (address, timeout, address))
            time.sleep(0.1)
    except BaseException:
        client.close()
        raise
    return client


@contextlib.contextmanager
def _dask(address, timeout):
    client = connect(address, timeout)
    try:
        runner = client.get_executor(pure=False)
        try:
            yield runner
        except BaseException:
            # Replications still queued on the cluster would go on running
            # for nobody.
            runner.shutdown(wait=False)
            raise
        runner.shutdown(wait=True)
    finally:
        client.close()
