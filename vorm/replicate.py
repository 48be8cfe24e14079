"""Replications: a model run n times with independent, reproducible seeds.

A model is a function `model(seed, **params)` that builds and runs one
simulation from its own `random.Random(seed)` and returns its named outputs
as a mapping of numbers. `replicate` runs it n times and reports each
output's mean and confidence half-width (Student t). The seed of
replication i depends only on the base seed and i, so a run gives the same
numbers serially and on any executor: anything with `map(fn, iterable)`,
such as a `multiprocessing` pool, a `concurrent.futures` executor or a
dask.distributed client's executor (`vorm.parallel` makes these from
command-line options). A worker process of a local pool that dies ends the
run with WorkerLost instead of leaving it waiting for a result that will
never come.
"""
from __future__ import division, print_function

import csv
import math
import multiprocessing
import multiprocessing.pool
import pickle
import signal
import sys
import threading
import time

try:
    from concurrent.futures.process import BrokenProcessPool, ProcessPoolExecutor
except ImportError:  # Python 2: no concurrent.futures
    BrokenProcessPool = ProcessPoolExecutor = None

from vorm.ext import qt

_MASK = (1 << 64) - 1


def seed_for(base, index):
    """The seed of replication `index` of a run with base seed `base`: a
    64-bit mix of the two (the splitmix64 finaliser), so neighbouring base
    seeds share no replication."""
    z = (int(base) * 0xBF58476D1CE4E5B9 + (int(index) + 1) * 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def interval(values, confidence=0.95):
    """Mean and confidence half-width of independent values (Student t);
    the half-width is NaN for fewer than two values."""
    n = len(values)
    if n == 0:
        return float("nan"), float("nan")
    mean = math.fsum(values) / n
    if n < 2:
        return mean, float("nan")
    variance = math.fsum((v - mean) ** 2 for v in values) / (n - 1)
    return mean, qt(1.0 - (1.0 - confidence) / 2.0, n - 1) * math.sqrt(variance / n)


class _Table(object):
    """Where the rows() under the header() of a result go besides its text:
    a CSV file and a pandas data frame."""

    def write_csv(self, target):
        """Writes rows() under a header line as CSV to a path or an open
        text stream; floats keep every digit."""
        write_csv(target, self.header(), self.rows())

    def to_dataframe(self):
        """rows() as a pandas DataFrame with the columns of header(). Raises
        ImportError, saying how to get pandas, where it is missing."""
        what = "%s.to_dataframe()" % type(self).__name__
        return _pandas(what).DataFrame(self.rows(), columns=self.header())


class Replications(_Table):
    """The outputs of n replications: `outputs[name]` lists one value per
    replication, in replication order; `seeds` the seeds they ran with."""

    def __init__(self, seeds, results, confidence=0.95):
        self.seeds = list(seeds)
        self.confidence = confidence
        self.outputs = {}
        self.names = []
        for index, result in enumerate(results):
            if index == 0:
                self.names = _ordered(result)
                for name in self.names:
                    self.outputs[name] = []
            elif sorted(result) != sorted(self.names):
                raise ValueError("replication %d returned the outputs %s, the first returned %s" % (
                    index, sorted(result), sorted(self.names)))
            for name in self.names:
                self.outputs[name].append(result[name])

    def __len__(self):
        return len(self.seeds)

    def interval(self, name):
        """(mean, half-width) of output `name`."""
        return interval(self.outputs[name], self.confidence)

    def mean(self, name):
        return self.interval(name)[0]

    def half_width(self, name):
        return self.interval(name)[1]

    def table(self):
        """The outputs as text: name, mean, half-width, replications."""
        width = max([len("output")] + [len(str(name)) for name in self.names])
        lines = ["%-*s %14s %14s %5s" % (width, "output", "mean", "+/- (%g %%)" % (100 * self.confidence), "n")]
        for name in self.names:
            mean, half = self.interval(name)
            lines.append("%-*s %14.6g %14.6g %5d" % (width, name, mean, half, len(self)))
        return "\n".join(lines)

    __str__ = table

    def __repr__(self):
        # One line, so that a list of runs still reads as a list.
        summary = "; ".join("%s %.4g +/- %.4g" % ((name,) + self.interval(name)) for name in self.names)
        return "<Replications: %d replications, %g %% confidence%s>" % (
            len(self), 100 * self.confidence, ": " + summary if summary else ", no outputs")

    def _repr_html_(self):
        head = ["output", "mean", "+/- (%g %%)" % (100 * self.confidence), "n"]
        body = []
        for name in self.names:
            mean, half = self.interval(name)
            body.append([name, "%.6g" % mean, "%.6g" % half, len(self)])
        caption = "%d replications, %g %% confidence" % (len(self), 100 * self.confidence)
        return html_table(caption, head, body, 1)

    def header(self):
        """The names of the columns of rows(): replication, seed, then the
        outputs."""
        return ["replication", "seed"] + [str(name) for name in self.names]

    def rows(self):
        """One row per replication: its index, its seed and its outputs."""
        return [[index, seed] + [self.outputs[name][index] for name in self.names]
                for index, seed in enumerate(self.seeds)]



def _escape(value):
    text = value if isinstance(value, _TEXT) else str(value)
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


_TEXT = (type(b""), type(u""))


def html_table(caption, head, body, labels):
    """An HTML table for a notebook, every cell escaped; the first `labels`
    columns of each row of `body` are its headings."""
    parts = ["<table>", "<caption>%s</caption>" % _escape(caption), "<thead><tr>"]
    parts.extend("<th>%s</th>" % _escape(cell) for cell in head)
    parts.append("</tr></thead><tbody>")
    for row in body:
        parts.append("<tr>")
        for column, cell in enumerate(row):
            tag = "th" if column < labels else "td"
            parts.append("<%s>%s</%s>" % (tag, _escape(cell), tag))
        parts.append("</tr>")
    parts.append("</tbody></table>")
    return "".join(parts)


def _exact(value):
    # repr keeps every digit of a float; str on Python 2 keeps only 12. The
    # float() makes a plain float of a numpy one, whose repr names its type.
    return repr(float(value)) if isinstance(value, float) else value


def write_csv(target, header, rows):
    """Writes the rows under the header as CSV to a path or an open text
    stream (a binary one on Python 2, as its csv module wants)."""
    if hasattr(target, "write"):
        _write_rows(target, header, rows)
        return
    if sys.version_info[0] >= 3:
        stream = open(target, "w", newline="")
    else:
        stream = open(target, "wb")
    with stream:
        _write_rows(stream, header, rows)


def _write_rows(stream, header, rows):
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow([_exact(value) for value in row])


def _pandas(what):
    # The package's one import of pandas, and only when a data frame is
    # asked for: everything else needs the standard library alone.
    try:
        import pandas
    except ImportError as error:
        raise ImportError("%s needs pandas, which %s cannot import (%s); on Debian, for /usr/bin/python3: "
                          "apt-get install python3-pandas" % (what, sys.executable, error))
    return pandas


def _ordered(result):
    # Python 3.7+ dicts keep insertion order; older ones get sorted names.
    if sys.version_info >= (3, 7):
        return list(result)
    return sorted(result)


class WorkerLost(RuntimeError):
    """A worker process died while replications ran (it was killed, ran out
    of memory or crashed in native code) and the run cannot go on: a local
    pool does not run the lost replication again; a dask cluster does, but
    gives up a replication that took down several workers in turn, and has
    nothing to run on once every worker is gone."""


class _Run(object):
    """One replication as a picklable callable, for executors that run it
    in another process."""

    def __init__(self, model, params):
        self.model = model
        self.params = params

    def describe(self, seed):
        return "seed %d" % seed

    def __call__(self, seed):
        result = self.model(seed, **self.params)
        if not hasattr(result, "keys"):
            raise TypeError("model %s returned %r; it must return a mapping of named outputs" % (
                getattr(self.model, "__name__", self.model), result))
        return dict(result)


def _in_threads(executor):
    # Threads share the model function; only other processes need pickling.
    name = type(executor).__name__
    return name in ("ThreadPoolExecutor", "ThreadPool")


def check_picklable(model):
    """Raises TypeError, before anything runs, when the model cannot be sent
    to another process (a lambda, a nested function, a bound method of an
    unpicklable object)."""
    try:
        pickle.dumps(model, 2)
    except Exception as error:
        raise TypeError("model %r cannot be sent to worker processes (%s: %s); define it at the top level "
                        "of a module" % (getattr(model, "__name__", model), type(error).__name__, error))


def as_executor(executor):
    """The executor that runs replications for `executor`: a dask.distributed
    Client, whose own map returns futures, gives way to its executor."""
    if type(executor).__name__ == "Client" and hasattr(executor, "get_executor"):
        # Every replication is a task of its own, never merged with an
        # equal-looking one the cluster still remembers.
        return executor.get_executor(pure=False)
    return executor


def check_executor(executor, runs):
    """Raises TypeError before anything is dispatched when the runs would
    have to go to other processes and a model or a parameter value of one
    of them cannot be pickled. The standard pickle decides even where the
    executor has a stronger one (dask sends lambdas by value): a model then
    runs on every executor or on none."""
    if executor is None or _in_threads(executor):
        return
    models = set()
    for run in runs:
        if id(run.model) not in models:
            models.add(id(run.model))
            check_picklable(run.model)
        for name in sorted(run.params):
            try:
                pickle.dumps(run.params[name], 2)
            except Exception as error:
                raise TypeError("parameter %s=%r of model %s cannot be sent to worker processes (%s: %s)" % (
                    name, run.params[name], getattr(run.model, "__name__", run.model), type(error).__name__,
                    error))


def dispatch(executor, fn, items):
    """Yields fn(item) for every item, in order: in this process when
    `executor` is None, otherwise through the executor."""
    if executor is None:
        return (fn(item) for item in items)
    if isinstance(executor, multiprocessing.pool.Pool) and not isinstance(executor, multiprocessing.pool.ThreadPool):
        return _watched(executor, fn, list(items))
    if ProcessPoolExecutor is not None and isinstance(executor, ProcessPoolExecutor):
        items = list(items)
        return _unbroken(executor.map(fn, items), len(items))
    if type(executor).__name__ == "ClientExecutor" and hasattr(executor, "_client"):
        return _on_cluster(executor._client, fn, list(items), getattr(executor, "vorm_timeout", None))
    return executor.map(fn, items)


def _on_cluster(client, fn, items, timeout):
    # A dask cluster runs the replications of a worker that dies again
    # elsewhere, but waits for ever once no worker is left (also inside
    # result(), when the worker that held a finished result dies before it
    # is fetched), and cancels every task when the scheduler goes. So a
    # watcher cancels the run's tasks once the cluster has been without
    # workers for `timeout` seconds, and a cancelled task says which of the
    # two happened.
    import distributed
    from vorm import parallel
    if timeout is None:
        timeout = parallel.CONNECT_TIMEOUT
    futures = client.map(fn, items, pure=False)
    watcher = _Watcher(client, futures, timeout)
    watcher.start()
    done = 0
    try:
        for future in futures:
            try:
                value = future.result()
            except distributed.CancelledError:
                if watcher.alone:
                    raise WorkerLost("the dask cluster at %s has had no workers for %g s while replications ran (%d "
                                     "of %d had finished); start some with: dask-worker %s" % (
                                         client.scheduler.address, timeout, done, len(items),
                                         client.scheduler.address))
                if client.status != "running":
                    # The client cancels every task when it loses the scheduler.
                    raise parallel.SchedulerUnreachable(
                        "lost the dask scheduler at %s while replications ran (%d of %d had finished)" % (
                            client.scheduler.address, done, len(items)))
                raise
            except distributed.KilledWorker as error:
                lost = WorkerLost("the replication of %s took down %d workers of the dask cluster in turn, so it "
                                  "gave that replication up and the run stops (KilledWorker); the workers' logs may "
                                  "say what killed them" % (getattr(fn, "describe", repr)(items[done]),
                                                            error.allowed_failures + 1))
                lost.__cause__ = error
                raise lost
            except Exception as error:
                if future.status == "error":
                    raise  # the model's own, not retried: with the same seed it would raise again
                # The replication ended, but its result could not be
                # fetched: the scheduler went, or is going.
                lost = parallel.SchedulerUnreachable(
                    "could not fetch a result from the dask cluster at %s (%d of %d replications had finished): %s" % (
                        client.scheduler.address, done, len(items), error))
                lost.__cause__ = error
                raise lost
            done += 1
            yield value
    finally:
        watcher.finish()
        # Asking a scheduler that is gone would wait for a connection.
        if done < len(futures) and client.status == "running" and not watcher.alone:
            try:
                client.cancel(futures[done:])
            except Exception:
                # The scheduler went meanwhile: nothing left to cancel.
                pass


class _Watcher(threading.Thread):
    """Looks at a dask cluster every _POLL seconds while a run waits for
    its results, and cancels the run's tasks once the cluster has had no
    workers for `timeout` seconds: nothing else would end the wait."""

    def __init__(self, client, futures, timeout):
        threading.Thread.__init__(self, name="vorm cluster watcher")
        self.daemon = True
        self.client, self.futures, self.timeout = client, futures, timeout
        self.alone = False
        self.stopped = threading.Event()

    def run(self):
        since = None
        while not self.stopped.wait(_POLL):
            if self.client.status != "running":
                return  # the client has cancelled every task itself
            if self.client.scheduler_info().get("workers"):
                since = None
            elif since is None:
                since = _clock()
            elif _clock() - since > self.timeout:
                self.alone = True
                try:
                    self.client.cancel(self.futures)
                except Exception:
                    pass
                return

    def finish(self):
        self.stopped.set()
        self.join()


# How long a multiprocessing pool may keep us waiting for the next result
# before its workers are checked.
_POLL = 0.25


def _watched(pool, fn, items):
    # A multiprocessing pool replaces a worker that dies, but the task that
    # worker held is lost and its result never arrives: pool.map would wait
    # forever, and so would close() and join() afterwards. So wait with a
    # timeout and, whenever it expires, look for a worker that has exited.
    workers = [process for process in getattr(pool, "_pool", ()) if process.exitcode is None]
    retiring = getattr(pool, "_maxtasksperchild", None) is not None
    # Batches as pool.map makes them, handed over one at a time: imap with
    # a chunksize returns a plain generator, which cannot wait with a
    # timeout.
    size = max(1, len(items) // (4 * max(1, len(workers))))
    results = pool.imap(_Batch(fn), [items[start:start + size] for start in range(0, len(items), size)])
    done = 0
    while done < len(items):
        try:
            batch = results.next(_POLL)
        except multiprocessing.TimeoutError:
            dead = _dead_worker(pool, workers, retiring)
            if dead is None:
                continue
            # Its lost task stays in the pool's books, so that the pool
            # could never be closed and joined: only terminate ends it.
            pool.terminate()
            raise WorkerLost("worker process %d of the local pool %s while replications ran (%d of %d had "
                             "finished); a local pool does not run its replication again, so the run stops "
                             "and the pool has been terminated" % (dead.pid, _death(dead.exitcode), done,
                                                                  len(items)))
        for value in batch:
            done += 1
            yield value


class _Batch(object):
    """fn over a list of items, in one task of a pool."""

    def __init__(self, fn):
        self.fn = fn

    def __call__(self, items):
        return [self.fn(item) for item in items]


def _dead_worker(pool, workers, retiring):
    """The first of `workers` that has died, or None; takes in the workers
    the pool started since."""
    for process in list(workers):
        code = process.exitcode
        if code is None:
            continue
        if code == 0 and retiring:
            # It served its maxtasksperchild and left in good order.
            workers.remove(process)
            continue
        return process
    for process in getattr(pool, "_pool", ()):
        if process not in workers and process.exitcode is None:
            workers.append(process)
    return None


def _death(code):
    if code < 0:
        names = {}
        # Sorted, so that of two names for one signal (SIGABRT, SIGIOT) the
        # usual one comes first.
        for name in sorted(vars(signal)):
            number = getattr(signal, name)
            if name.startswith("SIG") and not name.startswith("SIG_") and isinstance(number, int):
                names.setdefault(int(number), name)
        return "was killed by signal %d (%s)" % (-code, names.get(-code, "unknown"))
    return "exited with status %d" % code


def _unbroken(results, total):
    # A process pool of concurrent.futures notices a dead worker itself and
    # fails every pending result with BrokenProcessPool: say what it means.
    done = 0
    try:
        for value in results:
            done += 1
            yield value
    except BrokenProcessPool as error:
        raise WorkerLost("a worker process of the local pool died while replications ran (%d of %d had "
                         "finished); the pool is broken and the run stops (%s)" % (done, total, error))


# A clock that no change of the system's time moves (Python 2 has none).
_clock = getattr(time, "monotonic", time.time)


def _duration(seconds):
    if seconds < 60:
        return "%.1f s" % seconds
    if seconds < 3600:
        return "%d min %02d s" % divmod(int(round(seconds)), 60)
    return "%d h %02d min" % divmod(int(round(seconds / 60)), 60)


def _rate(done, seconds):
    rate = done / seconds
    return ("%.0f/s" if rate >= 100 else "%.3g/s") % rate


class _Progress(object):
    """A line on standard error, rewritten as replications finish, with
    their rate and the time left at that rate; shown when asked, or by
    default once a run has lasted a couple of seconds. finish() ends the
    line, also when the run ends by an error, so that what is printed next
    starts on a line of its own."""

    def __init__(self, total, mode, stream=None, clock=None):
        self.total, self.mode = total, mode
        self.stream = stream if stream is not None else sys.stderr
        self.clock = clock if clock is not None else _clock
        self.started = self.clock()
        self.shown = False
        self.width = 0

    def update(self, done):
        if self.mode is False:
            return
        elapsed = self.clock() - self.started
        if self.mode is None and elapsed < 2.0 and not self.shown:
            return
        text = "replications: %d/%d done" % (done, self.total)
        if done and elapsed > 0:
            text += ", %s, %s left" % (_rate(done, elapsed), _duration((self.total - done) * elapsed / done))
        self._show(text)

    def _show(self, text):
        # Blanks over what is left of a longer line before.
        self.stream.write("\r" + text + " " * max(0, self.width - len(text)))
        self.stream.flush()
        self.shown = True
        self.width = len(text)

    def finish(self, done, failed=False):
        if not self.shown:
            return
        elapsed = self.clock() - self.started
        if failed:
            self._show("replications: %d/%d done, stopped after %s" % (done, self.total, _duration(elapsed)))
        else:
            rate = ", " + _rate(done, elapsed) if done and elapsed > 0 else ""
            self._show("replications: %d/%d done in %s%s" % (done, self.total, _duration(elapsed), rate))
        self.stream.write("\n")
        self.stream.flush()


def collect(executor, fn, items, progress, stream=None, clock=None):
    """The list of fn(item) for every item through `executor`, showing
    progress as results come in."""
    results = []
    meter = _Progress(len(items), progress, stream, clock)
    try:
        for result in dispatch(executor, fn, items):
            results.append(result)
            meter.update(len(results))
    except BaseException:
        meter.finish(len(results), failed=True)
        raise
    meter.finish(len(results))
    return results


def replicate(model, n, seed=2026, params=None, executor=None, progress=None, confidence=0.95):
    """Runs `model(seed_i, **params)` for i = 0 .. n-1 and returns their
    Replications. `executor` (anything with map, or a dask.distributed
    Client) runs them in parallel; `progress` True shows progress on
    standard error, False never, None once the run takes longer than two
    seconds."""
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError("replicate() needs n >= 1 replications, got %r" % (n,))
    run = _Run(model, dict(params or {}))
    seeds = [seed_for(seed, index) for index in range(n)]
    executor = as_executor(executor)
    check_executor(executor, [run])
    return Replications(seeds, collect(executor, run, seeds, progress), confidence)
