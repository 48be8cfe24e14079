"""Traces of a run: `sim.trace = hook` calls hook(time, process, what,
value) at every event, and costs nothing while it is None (the default).

What the events are: "start" (a process was started; value its delay),
"hold" (it holds; value the delay), "seize" (it asks for a facility),
"granted" (it got a server), "balked", "reneged", "preempted" (it lost its
server), "release", "wait" (it waits for a process or signal), "set" and
"fail" (a signal), "passivate", "reactivate", "interrupt" (value the cause),
"first" and "all_of", "put" and "get" (it asks a store or tank), "got" (a
waiting get was served) and "finish" (value the result) or "fail" (value
the exception). process is the process concerned (None for a signal set
outside any process).

Two ready hooks: CsvTrace writes one line per event to a CSV file or
stream, LogTrace sends one message per event to a logging logger.
"""
import csv
import logging
import sys


def describe(value):
    """A short text for an event's value: the name of a process, facility,
    signal, store or tank, else the value's repr."""
    if value is None:
        return ""
    name = getattr(value, "name", None)
    if name is not None and not isinstance(value, (int, float)):
        return str(name)
    return repr(value)


class CsvTrace(object):
    """Writes `time,process,what,value` lines to a path or an open text
    stream; close() (or leaving a with block) closes a file it opened."""

    def __init__(self, target):
        if hasattr(target, "write"):
            self.stream, self.owned = target, False
        else:
            self.stream = open(target, "w", newline="") if sys.version_info[0] >= 3 else open(target, "wb")
            self.owned = True
        self.writer = csv.writer(self.stream, lineterminator="\n")
        self.writer.writerow(("time", "process", "what", "value"))

    def __call__(self, time, process, what, value):
        self.writer.writerow((repr(time), describe(process), what, describe(value)))

    def close(self):
        if self.owned:
            self.stream.close()
        else:
            self.stream.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class LogTrace(object):
    """Logs every event as "time process what value" to a logger (the
    "vorm.trace" logger by default) at a level (DEBUG by default)."""

    def __init__(self, logger=None, level=logging.DEBUG):
        self.logger = logger if logger is not None else logging.getLogger("vorm.trace")
        self.level = level

    def __call__(self, time, process, what, value):
        if self.logger.isEnabledFor(self.level):
            self.logger.log(self.level, "%.6f %s %s %s", time, describe(process), what, describe(value))
