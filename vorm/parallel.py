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
import logging
import multiprocessing
import signal
import socket
import sys
import time

# How long a scheduler may take to answer and to show a worker, and how long
# a cluster may be without workers while replications run, unless a timeout
# is given.
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


def scheduler_address(text):
    """The address of a dask scheduler as tcp://HOST:PORT, from HOST:PORT
    with or without tcp:// (an IPv6 host in brackets: [::1]:8786). Raises
    ValueError for anything else: dask would take a missing port for its
    default and an unknown scheme for a transport of its own, and fail
    only deep inside its connection code."""
    example = "give HOST:PORT, such as tcp://127.0.0.1:8786 or [::1]:8786"
    rest = text.strip()
    scheme, colons, after = rest.partition("://")
    if colons:
        if scheme.lower() != "tcp":
            raise ValueError("%r: a scheduler listens on tcp://, not %s://; %s" % (text, scheme, example))
        rest = after
    if rest.startswith("["):
        host, bracket, port = rest[1:].partition("]")
        if not bracket or not port.startswith(":") or ":" not in host:
            raise ValueError("%r is no [IPv6 address]:PORT; %s" % (text, example))
        host, port = "[%s]" % host, port[1:]
    else:
        host, colon, port = rest.rpartition(":")
        if not colon:
            raise ValueError("%r has no port; %s" % (text, example))
        if ":" in host:
            raise ValueError("%r: an IPv6 address goes in brackets, as in [::1]:8786" % (text,))
    if not host or not host.strip("[]") or any(c.isspace() or c in "/@?#" for c in host):
        raise ValueError("%r has no valid host; %s" % (text, example))
    if not (port.isdigit() and 0 < int(port) < 65536):
        raise ValueError("%r: the port must be a number from 1 to 65535; %s" % (text, example))
    return "tcp://%s:%d" % (host, int(port))


def _scheduler_option(text):
    try:
        return scheduler_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error))


def add_arguments(parser):
    """Adds --workers N and --scheduler tcp://HOST:PORT (which exclude each
    other) to an argparse parser; executor_for reads them back."""
    group = parser.add_argument_group("where replications run (default: one after another in this process)")
    choice = group.add_mutually_exclusive_group()
    choice.add_argument("--workers", type=_workers, metavar="N",
                        help="in N worker processes on this machine")
    choice.add_argument("--scheduler", metavar="tcp://HOST:PORT", type=_scheduler_option,
                        help="on the dask.distributed cluster whose scheduler listens at this address")
    return group


@contextlib.contextmanager
def executor_for(args, timeout=None, parser=None):
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
def executor(workers=None, scheduler=None, timeout=None):
    """Yields the executor for replicate and sweep: None without arguments,
    a pool of `workers` local processes, or the executor of a client of the
    dask scheduler at address `scheduler` (see scheduler_address). A
    scheduler that does not answer or shows no worker within `timeout`
    seconds (None: CONNECT_TIMEOUT) raises SchedulerUnreachable before the
    block runs; a cluster left without workers for that long while
    replications run ends the run with WorkerLost. Leaving the block shuts
    the executor down; leaving it by an exception also stops whatever still
    runs."""
    if workers is not None and scheduler is not None:
        raise ValueError("give workers or a scheduler, not both")
    if scheduler is not None:
        scheduler = scheduler_address(scheduler)
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


def connect(address, timeout=None):
    """A dask.distributed Client of the scheduler at `address`, once that
    scheduler has at least one worker. Raises SchedulerUnreachable, naming
    the address, when it does not answer or shows no worker within
    `timeout` seconds (None: CONNECT_TIMEOUT), ValueError for an address
    that is not HOST:PORT and ImportError when dask.distributed is
    missing."""
    if timeout is None:
        timeout = CONNECT_TIMEOUT
    try:
        import distributed
    except ImportError as error:
        raise ImportError("running on the dask scheduler at %s needs dask.distributed, which %s cannot import "
                          "(%s); on Debian: apt-get install python3-distributed" % (address, sys.executable, error))
    address = scheduler_address(address)
    started = time.time()
    # dask retries a refused connection until its timeout runs out; a plain
    # socket says at once that nothing listens there.
    host, _, port = address[len("tcp://"):].rpartition(":")
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout).close()
    except (OSError, IOError) as error:
        raise SchedulerUnreachable("cannot reach the dask scheduler at %s: %s" % (address, error))
    try:
        client = distributed.Client(address, timeout=max(0.1, timeout - (time.time() - started)),
                                    set_as_default=False)
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
    # A client that loses its scheduler tries to reconnect for this long,
    # and closing it waits for that; but it has cancelled every task by
    # then, so a run cannot go on anyway.
    client._timeout = min(timeout, _RECONNECT)
    return client


_RECONNECT = 0.5


@contextlib.contextmanager
def _dask(address, timeout):
    if timeout is None:
        timeout = CONNECT_TIMEOUT
    client = connect(address, timeout)
    lost = False
    try:
        runner = client.get_executor(pure=False)
        # How long replicate and sweep let the cluster be without workers.
        runner.vorm_timeout = timeout
        try:
            # The client warns when a worker that held a result died before
            # it was fetched, and runs that replication again: no news for
            # the modeller, and a line glued onto the progress line.
            with _quiet(logging.WARNING, "distributed.client"):
                yield runner
        except BaseException as error:
            lost = client.status != "running" or isinstance(error, SchedulerUnreachable)
            # Replications still queued on the cluster would go on running
            # for nobody. Without a scheduler there is nothing to cancel,
            # and asking it would wait for the connection timeout.
            if not lost:
                runner.shutdown(wait=False)
            raise
        runner.shutdown(wait=True)
    finally:
        if lost:
            # A client that lost its scheduler logs, with tracebacks, how
            # its attempts to reconnect end when it is closed (some under
            # the name of the asyncio module that ran them): the run has
            # said what happened in one line already.
            with _quiet(logging.CRITICAL, "distributed", "asyncio"):
                client.close(timeout=2 * timeout)
        else:
            client.close(timeout=2 * timeout)


@contextlib.contextmanager
def _quiet(level, *names):
    """Leaves out the records of the named loggers (and those below them)
    up to `level` while the block runs."""
    # The loggers below these names have levels of their own from dask's
    # configuration, so each is raised.
    loggers = [logging.getLogger(name) for name in names]
    loggers += [logger for name, logger in sorted(logging.Logger.manager.loggerDict.items())
                if isinstance(logger, logging.Logger) and any(name.startswith(prefix + ".") for prefix in names)]
    levels = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(max(logger.getEffectiveLevel(), level + 1))
    try:
        yield
    finally:
        for logger, saved in zip(loggers, levels):
            logger.setLevel(saved)
