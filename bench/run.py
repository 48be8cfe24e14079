"""Times vorm.ext against its standard-library counterparts and prints one
Markdown table for the interpreter that runs it.

    PYTHONPATH=. python bench/run.py [--quick] [--only WORDS] [--data FILE]

Every row races a vorm.ext side A against a competitor side B in this one
process. Each side is first calibrated to take about the same wall time per
run; then the two run interleaved, A, B, A, B, ..., for several repetitions.
The table gives each side's median ns per operation and the median of the
per-repetition ratios B/A ("speedup": above 1 when vorm.ext is faster), so a
machine that slows down for a while slows both sides of a ratio alike. The
targets are ratios only, never absolute times. --data writes the size series
for bench/plot.py.
"""
from __future__ import division, print_function

import collections
import gc
import heapq
import itertools
import math
import os
import platform
import random
import sys
import time
from timeit import default_timer as clock

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))

from vorm import ext  # noqa: E402

import formulas  # noqa: E402

try:
    from statistics import NormalDist
except ImportError:  # before Python 3.8
    NormalDist = None
try:
    import tracemalloc
except ImportError:  # Python 2
    tracemalloc = None

repeat = itertools.repeat
islice = itertools.islice

SIZES = (10, 1000, 100000, 1000000)
QUICK_SIZES = (10, 1000, 10000)
MEMORY_SIZES = (1000, 100000, 1000000)
TARGET_SIZE = 100000


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    if len(values) % 2:
        return values[middle]
    return (values[middle - 1] + values[middle]) / 2


def take(iterator, count):
    return list(islice(iterator, count))


class Result(object):
    def __init__(self, section, resident, vorm, competitor, vorm_value, competitor_value, speedup, target,
                 unit="ns/op"):
        self.section, self.resident = section, resident
        self.vorm, self.competitor = vorm, competitor
        self.vorm_value, self.competitor_value = vorm_value, competitor_value
        self.speedup, self.target, self.unit = speedup, target, unit

    def verdict(self):
        if self.target is None:
            return ""
        return "%s %s" % (">= %.2fx" % self.target, "met" if self.speedup >= self.target else "MISSED")


class Bench(object):
    """Calibrates two sides and races them; a side is a function that performs
    count operations and returns the seconds they took."""

    def __init__(self, reps, run_seconds, only, verbose):
        self.reps, self.run_seconds, self.only, self.verbose = reps, run_seconds, only, verbose
        self.results = []

    def wanted(self, section):
        return not self.only or any(word.lower() in section.lower() for word in self.only)

    def calibrate(self, side):
        """The count of operations for one run, and the seconds one run of
        that count is expected to take."""
        count = 1
        while True:
            elapsed = side(count)
            if elapsed >= self.run_seconds / 8 or count >= 1 << 22:
                break
            count *= 8
        per_operation = max(elapsed, 1e-9) / count
        count = max(1, int(self.run_seconds / per_operation))
        return count, count * per_operation

    def race(self, section, resident, vorm, vorm_side, competitor, competitor_side, target=None):
        count_a, seconds_a = self.calibrate(vorm_side)
        count_b, seconds_b = self.calibrate(competitor_side)
        # A side whose single operation outlasts a run (a linear remove from
        # a million) runs fewer times; its ratios are far from any target.
        reps = self.reps
        if seconds_a + seconds_b > 4 * self.run_seconds:
            reps = min(reps, 5)
        times_a, times_b, ratios = [], [], []
        for _ in range(reps):
            a = vorm_side(count_a) / count_a
            b = competitor_side(count_b) / count_b
            times_a.append(a)
            times_b.append(b)
            ratios.append(b / a)
        result = Result(section, resident, vorm, competitor, median(times_a) * 1e9, median(times_b) * 1e9,
                        median(ratios), target)
        self.results.append(result)
        if self.verbose:
            sys.stderr.write("  %-28s %8s %-22s %10.1f  %-28s %10.1f  %7.2fx\n" % (
                section, resident, vorm, result.vorm_value, competitor, result.competitor_value, result.speedup))
        return result


# The operations. Both sides of a row run the same loop and differ only in the
# names they call. Containers are called the way simulation code calls them,
# as methods (container.push(...)); the pre-bound variant (push = c.push) is
# timed too, because CPython 3.11 specialises calls of pre-bound builtin
# methods by calling convention, which favours list.pop (METH_FASTCALL) over
# every METH_NOARGS pop, deque.popleft and vorm.ext's alike.

def vorm_push_pop_side(container):
    def side(count):
        loop = repeat(None, count)
        start = clock()
        for _ in loop:
            container.push(container.pop())
        return clock() - start
    return side


def deque_push_pop_side(deque):
    def side(count):
        loop = repeat(None, count)
        start = clock()
        for _ in loop:
            deque.append(deque.popleft())
        return clock() - start
    return side


def list_push_pop_side(stack):
    def side(count):
        loop = repeat(None, count)
        start = clock()
        for _ in loop:
            stack.append(stack.pop())
        return clock() - start
    return side


def deque_lifo_side(deque):
    def side(count):
        loop = repeat(None, count)
        start = clock()
        for _ in loop:
            deque.append(deque.pop())
        return clock() - start
    return side


def bound_push_pop_side(push, pop):
    def side(count):
        loop = repeat(None, count)
        start = clock()
        for _ in loop:
            push(pop())
        return clock() - start
    return side


def vorm_delete_side(container, targets):
    def side(count):
        batch = take(targets, count)
        start = clock()
        for request in batch:
            container.delete(request)
            container.push(request)
        return clock() - start
    return side


def remove_side(sequence, targets):
    def side(count):
        batch = take(targets, count)
        start = clock()
        for request in batch:
            sequence.remove(request)
            sequence.append(request)
        return clock() - start
    return side


def heapq_delete_side(heap, targets):
    remove, heapify, heappush = heap.remove, heapq.heapify, heapq.heappush

    def side(count):
        batch = take(targets, count)
        start = clock()
        for entry in batch:
            remove(entry)
            heapify(heap)
            heappush(heap, entry)
        return clock() - start
    return side


def time_hold_side(heap, deltas):
    def side(count):
        batch = take(deltas, count)
        start = clock()
        for delta in batch:
            request = heap.pop()
            request.futureTime = request.futureTime + delta
            heap.push(request)
        return clock() - start
    return side


def time_hold_heapq_side(heap, deltas):
    heappop, heappush = heapq.heappop, heapq.heappush

    def side(count):
        batch = take(deltas, count)
        start = clock()
        for delta in batch:
            when, priority, ident, request = heappop(heap)
            heappush(heap, (when + delta, priority, ident, request))
        return clock() - start
    return side


def priority_hold_side(heap, deltas):
    def side(count):
        batch = take(deltas, count)
        start = clock()
        for delta in batch:
            request = heap.pop()
            request.priority = request.priority - delta
            heap.push(request)
        return clock() - start
    return side


def priority_hold_heapq_side(heap, deltas):
    heappop, heappush = heapq.heappop, heapq.heappush

    def side(count):
        batch = take(deltas, count)
        start = clock()
        for delta in batch:
            negated, ident, request = heappop(heap)
            heappush(heap, (negated + delta, ident, request))
        return clock() - start
    return side


def queue_hold_side(queue, deltas, tuple_keys):
    def side(count):
        batch = take(deltas, count)
        start = clock()
        if tuple_keys:
            for delta in batch:
                key = queue.pop()
                key = (key[0] + delta, key[1])
                queue.push(key, key)
        else:
            for delta in batch:
                key = queue.pop()
                key = key + delta
                queue.push(key, key)
        return clock() - start
    return side


def queue_hold_heapq_side(heap, deltas, tuple_keys):
    heappop, heappush = heapq.heappop, heapq.heappush

    def side(count):
        batch = take(deltas, count)
        start = clock()
        if tuple_keys:
            for delta in batch:
                key, _ = heappop(heap)
                key = (key[0] + delta, key[1])
                heappush(heap, (key, key))
        else:
            for delta in batch:
                key, _ = heappop(heap)
                key = key + delta
                heappush(heap, (key, key))
        return clock() - start
    return side


def call_side(function, arguments, extra=None):
    def side(count):
        batch = take(arguments, count)
        start = clock()
        if extra is None:
            for x in batch:
                function(x)
        else:
            for x in batch:
                function(x, extra)
        return clock() - start
    return side


def filled(container, requests):
    push = container.push
    for request in requests:
        push(request)
    return container


def exp_deltas(rng, count=4096):
    return itertools.cycle([rng.expovariate(1.0) for _ in range(count)])


# The rows.

FIFO_TARGET = 1 / 1.3


def run_linked(bench, sizes, pool):
    section = "FIFO push+pop"
    if bench.wanted(section):
        for n in sizes:
            requests = pool[:n]
            deque = collections.deque(requests)
            for kind in (ext.RequestListFIFO, ext.RequestDEQFIFO):
                container = filled(kind(), requests)
                bench.race(section, n, kind.__name__, vorm_push_pop_side(container),
                           "deque append+popleft", deque_push_pop_side(deque), FIFO_TARGET)
                container.clear()

    section = "LIFO push+pop"
    if bench.wanted(section):
        for n in sizes:
            requests = pool[:n]
            stack = list(requests)
            for kind in (ext.RequestArray, ext.RequestArrayStack, ext.RequestListStack):
                container = filled(kind(), requests)
                bench.race(section, n, kind.__name__, vorm_push_pop_side(container),
                           "list append+pop", list_push_pop_side(stack), FIFO_TARGET)
                container.clear()
            # Not vorm.ext: the standard library's own C stack without list's
            # interpreter shortcuts, for scale.
            deque = collections.deque(requests)
            bench.race(section, n, "(deque append+pop)", deque_lifo_side(deque),
                       "list append+pop", list_push_pop_side(stack))

    section = "push+pop, pre-bound methods"
    if bench.wanted(section):
        n = 1000
        requests = pool[:n]
        deque = collections.deque(requests)
        stack = list(requests)
        for kind in (ext.RequestListFIFO, ext.RequestDEQFIFO):
            container = filled(kind(), requests)
            bench.race(section, n, kind.__name__, bound_push_pop_side(container.push, container.pop),
                       "deque append+popleft", bound_push_pop_side(deque.append, deque.popleft))
            container.clear()
        for kind in (ext.RequestArray, ext.RequestArrayStack, ext.RequestListStack):
            container = filled(kind(), requests)
            bench.race(section, n, kind.__name__, bound_push_pop_side(container.push, container.pop),
                       "list append+pop", bound_push_pop_side(stack.append, stack.pop))
            container.clear()
        # Not vorm.ext: the standard library's own METH_NOARGS pop against
        # list.pop, for scale.
        bench.race(section, n, "(deque append+pop)", bound_push_pop_side(deque.append, deque.pop),
                   "list append+pop", bound_push_pop_side(stack.append, stack.pop))

    # Each request deleted sits in the middle of the list or deque: the one
    # deleted before it went to the back, so the next one moved up into its
    # place. The vorm containers that keep the order see the same layout.
    section = "delete from the middle"
    if bench.wanted(section):
        for n in sizes:
            requests = pool[:n]
            middle = requests[n // 2:]
            for kind, shape in ((ext.RequestListFIFO, collections.deque), (ext.RequestDEQFIFO, collections.deque),
                                (ext.RequestListStack, list), (ext.RequestArray, list),
                                (ext.RequestArrayStack, list)):
                container = filled(kind(), requests)
                rival = shape(requests)
                shifts = kind in (ext.RequestDEQFIFO, ext.RequestArrayStack)
                target = 100.0 if n == TARGET_SIZE and not shifts else None
                bench.race(section, n, kind.__name__, vorm_delete_side(container, itertools.cycle(middle)),
                           "%s.remove+append" % shape.__name__, remove_side(rival, itertools.cycle(middle)), target)
                container.clear()


def run_heaps(bench, sizes, size_limit):
    rng = random.Random(7)
    sections = ("delete from the middle", "timer-heap hold", "priority-heap hold")
    if not any(bench.wanted(section) for section in sections):
        return
    for n in sizes:
        if n > size_limit:
            continue
        gc.collect()
        timers = [ext.TimeRequest(rng.expovariate(1.0), rng.random()) for _ in range(n)]
        ids = itertools.count()
        timer_entries = [(r.futureTime, -r.priority, next(ids), r) for r in timers]
        priorities = [ext.PriorityRequest(-rng.expovariate(1.0)) for _ in range(n)]
        ids = itertools.count()
        priority_entries = [(-r.priority, next(ids), r) for r in priorities]
        sample = rng.sample(range(n), min(n, 1024))

        section = "delete from the middle"
        if bench.wanted(section):
            for kind, requests, entries in ((ext.RequestBinaryHeap, priorities, priority_entries),
                                            (ext.TimeRequestBinaryHeap, timers, timer_entries)):
                container = filled(kind(), requests)
                heap = list(entries)
                heapq.heapify(heap)
                bench.race(section, n, kind.__name__,
                           vorm_delete_side(container, itertools.cycle([requests[i] for i in sample])),
                           "list.remove+heapify (%d-tuples)" % len(entries[0]),
                           heapq_delete_side(heap, itertools.cycle([entries[i] for i in sample])),
                           100.0 if n == TARGET_SIZE else None)
                container.clear()

        section = "timer-heap hold"
        if bench.wanted(section):
            container = filled(ext.TimeRequestBinaryHeap(), timers)
            heap = list(timer_entries)
            heapq.heapify(heap)
            bench.race(section, n, "TimeRequestBinaryHeap", time_hold_side(container, exp_deltas(rng)),
                       "heapq (t, -p, id, req)", time_hold_heapq_side(heap, exp_deltas(rng)),
                       2.0 if n == TARGET_SIZE else None)
            container.clear()

        section = "priority-heap hold"
        if bench.wanted(section):
            container = filled(ext.RequestBinaryHeap(), priorities)
            heap = list(priority_entries)
            heapq.heapify(heap)
            bench.race(section, n, "RequestBinaryHeap", priority_hold_side(container, exp_deltas(rng)),
                       "heapq (-p, id, req)", priority_hold_heapq_side(heap, exp_deltas(rng)),
                       1.5 if n == TARGET_SIZE else None)
            container.clear()
        del timers, timer_entries, priorities, priority_entries


def run_priority_queue(bench, sizes):
    rng = random.Random(11)
    for tuple_keys in (False, True):
        section = "PriorityQueue hold, %s keys" % ("tuple" if tuple_keys else "float")
        if not bench.wanted(section):
            continue
        for n in sizes:
            if tuple_keys:
                keys = [(rng.expovariate(1.0), i) for i in range(n)]
            else:
                keys = [rng.expovariate(1.0) for _ in range(n)]
            queue = ext.PriorityQueue()
            for key in keys:
                queue.push(key, key)
            heap = [(key, key) for key in keys]
            heapq.heapify(heap)
            bench.race(section, n, "PriorityQueue", queue_hold_side(queue, exp_deltas(rng), tuple_keys),
                       "heapq (key, item)", queue_hold_heapq_side(heap, exp_deltas(rng), tuple_keys),
                       None if tuple_keys else 1.0)
            del queue, heap, keys


def check_close(name, got, expected, tolerance):
    if not abs(got - expected) <= tolerance * max(1.0, abs(expected)):
        raise SystemExit("%s: vorm.ext gives %r, the competitor %r" % (name, got, expected))


def run_stats(bench):
    rng = random.Random(5)
    xs = [rng.uniform(-4.0, 4.0) for _ in range(1000)]
    ps = [rng.uniform(0.001, 0.999) for _ in range(1000)]
    df = 10
    normal = NormalDist() if NormalDist is not None else None
    python2 = sys.version_info[0] == 2
    functions = (
        ("dnorm", ext.dnorm, formulas.dnorm, None, xs, normal and normal.pdf),
        ("pnorm", ext.pnorm, formulas.pnorm, None, xs, normal and normal.cdf),
        ("qnorm", ext.qnorm, formulas.qnorm, None, ps, normal and normal.inv_cdf),
        ("dt", ext.dt, formulas.dt, df, xs, None),
        ("pt", ext.pt, formulas.pt, df, xs, None),
        ("qt", ext.qt, formulas.qt, df, ps, None),
    )
    for name, function, formula, extra, arguments, rival in functions:
        section = "%s per call" % name
        if not bench.wanted(section):
            continue
        # Equivalent work first: the rivals must compute the same numbers.
        for x in arguments[:50]:
            got = function(x) if extra is None else function(x, extra)
            check_close(name, got, formula(x) if extra is None else formula(x, extra),
                        2e-6 if name.startswith("q") else 1e-12)
            if rival is not None:
                check_close(name, got, rival(x), 2e-6)
        targeted = name in ("dnorm", "pnorm")
        label = "%s(x, %d)" % (name, extra) if extra is not None else "%s(x)" % name
        if rival is not None:
            bench.race(section, "-", label, call_side(function, itertools.cycle(arguments), extra),
                       "NormalDist().%s" % rival.__name__, call_side(rival, itertools.cycle(arguments)),
                       {"dnorm": 3.0, "pnorm": 2.0}.get(name))
        bench.race(section, "-", label, call_side(function, itertools.cycle(arguments), extra),
                   "same formula in Python", call_side(formula, itertools.cycle(arguments), extra),
                   2.0 if targeted and python2 else None)
        # Before 3.7 the functions take an argument tuple (METH_VARARGS), as
        # math.log does there, while math.fabs (METH_O) builds none; the
        # target against math.fabs applies where they take the caller's array.
        vector_call = sys.version_info >= (3, 7)
        bench.race(section, "-", label, call_side(function, itertools.cycle(arguments), extra),
                   "math.fabs(x) call floor", call_side(math.fabs, itertools.cycle(arguments)),
                   1 / 1.5 if targeted and vector_call else None)
        if targeted and not vector_call:
            positive = [abs(x) + 0.5 for x in arguments]
            bench.race(section, "-", label, call_side(function, itertools.cycle(positive)),
                       "math.log(x) METH_VARARGS call", call_side(math.log, itertools.cycle(positive)))


def traced_bytes(build):
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    kept = build()
    used = tracemalloc.get_traced_memory()[0] - before
    return kept, used


def appended(sequence, items):
    append = sequence.append
    for item in items:
        append(item)
    return sequence


def heap_of(entries):
    heap = []
    push = heapq.heappush
    for entry in entries:
        push(heap, entry)
    return heap


def memory_row(bench, n, vorm, vorm_build, competitor, competitor_build):
    kept, vorm_bytes = traced_bytes(vorm_build)
    rival, rival_bytes = traced_bytes(competitor_build)
    vorm_value, rival_value = vorm_bytes / n, rival_bytes / n
    speedup = rival_value / vorm_value if vorm_value >= 0.05 else float("inf")
    bench.results.append(Result("storage per held request", n, vorm, competitor, vorm_value, rival_value, speedup,
                                None, unit="bytes"))
    if hasattr(kept, "clear"):
        kept.clear()


def run_memory(bench, sizes, linked_pool):
    if tracemalloc is None or not bench.wanted("storage per held request"):
        return
    rng = random.Random(3)
    tracemalloc.start()
    try:
        for n in sizes:
            requests = linked_pool[:n]
            for kind, shape in ((ext.RequestListFIFO, "deque"), (ext.RequestListStack, "list"),
                                (ext.RequestDEQFIFO, "deque"), (ext.RequestArray, "list"),
                                (ext.RequestArrayStack, "list")):
                build = (lambda: collections.deque(requests)) if shape == "deque" else (lambda: appended([], requests))
                memory_row(bench, n, kind.__name__, lambda: filled(kind(), requests), shape, build)
            priorities = [ext.PriorityRequest(rng.random()) for _ in range(n)]
            memory_row(bench, n, "RequestBinaryHeap", lambda: filled(ext.RequestBinaryHeap(), priorities),
                       "heapq (-p, id, req)",
                       lambda: heap_of((-r.priority, i, r) for i, r in enumerate(priorities)))
            priorities = None
            timers = [ext.TimeRequest(rng.random(), rng.random()) for _ in range(n)]
            memory_row(bench, n, "TimeRequestBinaryHeap", lambda: filled(ext.TimeRequestBinaryHeap(), timers),
                       "heapq (t, -p, id, req)",
                       lambda: heap_of((r.futureTime, -r.priority, i, r) for i, r in enumerate(timers)))
            timers = None
            keys = [rng.random() for _ in range(n)]
            items = linked_pool[:n]

            def queue_build():
                queue = ext.PriorityQueue()
                for key, item in zip(keys, items):
                    queue.push(key, item)
                return queue
            memory_row(bench, n, "PriorityQueue (float keys)", queue_build, "heapq (key, item)",
                       lambda: heap_of(zip(keys, items)))
    finally:
        tracemalloc.stop()


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except (IOError, OSError):
        pass
    cores = 1
    try:
        import multiprocessing
        cores = multiprocessing.cpu_count()
    except (ImportError, NotImplementedError):
        pass
    return "%s, %d cores" % (model, cores)


def format_value(value):
    if value >= 100:
        return "%.0f" % value
    return "%.1f" % value


def print_table(bench, reps, run_seconds, elapsed, load):
    version = platform.python_version()
    print("### Python %s (%s), %s, %s" % (version, platform.python_implementation(), time.strftime("%Y-%m-%d"),
                                          machine()))
    if load is not None:
        print()
        print("Load average when the run started: %.2f (other processes share the cores)." % load)
    print()
    print("Medians of %d interleaved runs of about %.0f ms per side (5 runs where one operation takes longer); "
          "speedup = median over the runs of competitor time / vorm.ext time (above 1: vorm.ext faster); "
          "storage: competitor bytes / vorm.ext bytes." % (reps, run_seconds * 1000))
    print()
    print("| benchmark | resident | vorm.ext | value | competitor | value | speedup | target |")
    print("|---|---:|---|---:|---|---:|---:|---|")
    for result in ordered(bench.results):
        resident = result.resident if isinstance(result.resident, str) else "{:,}".format(result.resident)
        unit = "ns/op" if result.unit == "ns/op" else "B/req"
        speedup = "inf" if result.speedup == float("inf") else "%.2fx" % result.speedup
        print("| %s | %s | %s | %s %s | %s | %s %s | %s | %s |" % (
            result.section, resident, result.vorm, format_value(result.vorm_value), unit, result.competitor,
            format_value(result.competitor_value), unit, speedup, result.verdict()))
    print()
    if tracemalloc is None:
        print("Storage per held request needs tracemalloc (Python 3); not measured here.")
    if NormalDist is None:
        print("statistics.NormalDist needs Python 3.8; not timed here.")
    missed = [r for r in bench.results if r.target is not None and r.speedup < r.target]
    targeted = [r for r in bench.results if r.target is not None]
    print("Targets met: %d of %d. Run time: %.0f s." % (len(targeted) - len(missed), len(targeted), elapsed))
    print()


def ordered(results):
    """Groups the rows by section, in the order the sections first ran, and
    by size within a section."""
    rank = {}
    for result in results:
        rank.setdefault(result.section, len(rank))
    keyed = [(rank[r.section], r.resident if not isinstance(r.resident, str) else 0, index, r)
             for index, r in enumerate(results)]
    return [entry[-1] for entry in sorted(keyed, key=lambda entry: entry[:3])]


def write_data(bench, path):
    """One line per point: section, side (vorm, competitor or reference),
    implementation, resident count, median ns per operation. A competitor
    raced against several vorm.ext types gets the median of its medians."""
    series = collections.OrderedDict()
    for result in bench.results:
        if result.unit != "ns/op" or isinstance(result.resident, str):
            continue
        vorm_side = "reference" if result.vorm.startswith("(") else "vorm"
        for side, name, value in ((vorm_side, result.vorm, result.vorm_value),
                                  ("competitor", result.competitor, result.competitor_value)):
            series.setdefault((result.section, side, name), {}).setdefault(result.resident, []).append(value)
    with open(path, "w") as out:
        out.write("# interpreter Python %s\n" % platform.python_version())
        out.write("# section\tside\timplementation\tresident\tns_per_op\n")
        for (section, side, name), points in series.items():
            for resident in sorted(points):
                out.write("%s\t%s\t%s\t%d\t%.3f\n" % (section, side, name, resident, median(points[resident])))


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes and few runs, for a smoke test")
    parser.add_argument("--only", nargs="*", default=[], help="run the sections whose names contain a word")
    parser.add_argument("--data", help="write the size series to this file")
    parser.add_argument("--reps", type=int, default=None)
    parser.add_argument("--verbose", action="store_true", help="report each row on stderr as it finishes")
    parser.add_argument("--run-ms", type=float, default=None, help="wall time of one run of one side")
    args = parser.parse_args(argv)
    sizes = QUICK_SIZES if args.quick else SIZES
    reps = args.reps or (5 if args.quick else 15)
    run_seconds = (args.run_ms or (3.0 if args.quick else 5.0)) / 1000.0
    bench = Bench(reps, run_seconds, args.only, args.verbose)

    try:
        load = os.getloadavg()[0]
    except (AttributeError, OSError):
        load = None
    started = clock()
    gc.collect()
    gc.disable()  # a collection inside one run would land on one side only
    linked_pool = [ext.LinkedRequest() for _ in range(max(sizes))]
    run_linked(bench, sizes, linked_pool)
    run_heaps(bench, sizes, max(sizes))
    run_priority_queue(bench, sizes)
    run_stats(bench)
    gc.enable()
    run_memory(bench, (1000, 10000) if args.quick else MEMORY_SIZES, linked_pool)
    elapsed = clock() - started
    print_table(bench, reps, run_seconds, elapsed, load)
    if args.data:
        write_data(bench, args.data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
