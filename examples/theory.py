"""Queueing-theory values that the examples check their intervals against,
the line that prints such a check, and the options their command lines
share.

Every formula is for exponential times (Poisson arrivals, exponential
service, failures and deliveries; a deadline may be fixed) and, for a
system that runs on, for its steady state; rates are per unit of time.
"""
from __future__ import division, print_function

import argparse
import sys
import textwrap
import math

from vorm import parallel
from vorm.replicate import write_csv as write_rows


def erlang_c(servers, load):
    """The probability that an arrival waits in M/M/c with c `servers` and
    offered load a = arrival / service (Erlang's C formula)."""
    if not load < servers:
        return 1.0
    # Erlang B by its recurrence, then C from B: no factorials to overflow.
    blocked = 1.0
    for k in range(1, servers + 1):
        blocked = load * blocked / (k + load * blocked)
    return blocked / (1.0 - load / servers * (1.0 - blocked))


def mmc(arrival, service, servers=1):
    """M/M/c in steady state: a dict of `wait` (mean wait in line), `length`
    (mean line length), `busy` (mean busy servers) and `delayed` (the
    probability of waiting at all)."""
    load = arrival / service
    delayed = erlang_c(servers, load)
    wait = delayed / (servers * service - arrival)
    return {"wait": wait, "length": arrival * wait, "busy": load, "delayed": delayed}


def cobham(rates, service):
    """Mean wait in line of each class of M/M/1 with non-preemptive
    priorities, the most urgent class first (Cobham's formula): class k waits
    W0 / ((1 - s[k-1]) (1 - s[k])), with W0 the mean residual work found by
    an arrival and s[k] the load of classes 1..k."""
    residual = sum(rate * 2.0 / service ** 2 for rate in rates) / 2.0  # sum of lambda E[S^2] / 2
    waits, above = [], 0.0
    for rate in rates:
        upto = above + rate / service
        waits.append(residual / ((1.0 - above) * (1.0 - upto)))
        above = upto
    return waits


def preemptive_resume(rates, service):
    """Mean time in system of each class of M/M/1 with preemptive-resume
    priorities, the most urgent class first: class k sees only classes 1..k,
    T[k] = E[S] / (1 - s[k-1]) + R[k] / ((1 - s[k-1]) (1 - s[k])), with R[k]
    the residual work of classes 1..k."""
    times, above, residual = [], 0.0, 0.0
    for rate in rates:
        residual += rate / service ** 2  # lambda E[S^2] / 2 with E[S^2] = 2 / mu^2
        upto = above + rate / service
        times.append(1.0 / service / (1.0 - above) + residual / ((1.0 - above) * (1.0 - upto)))
        above = upto
    return times


def impatient(arrival, service, servers, patience, limit=None, tail=1e-15):
    """c servers, a FIFO line of at most `limit` (None: unlimited) and
    customers who renege after an exponential patience of mean `patience`
    (M/M/c/K+M, Erlang A with a limit). The number in the system is a
    birth-death chain, solved numerically; an unlimited line is cut where
    the states left would weigh less than `tail`.

    Returns a dict of `balked` and `reneged` (fractions of all arrivals),
    `wait` (mean wait of the customers served), `length` (mean line length)
    and `busy` (mean busy servers)."""
    abandon = 1.0 / patience
    weights, total, n = [1.0], 1.0, 0
    while limit is None or n < servers + limit:
        n += 1
        weights.append(weights[-1] * arrival / (min(n, servers) * service + max(n - servers, 0) * abandon))
        total += weights[-1]
        if total > 1e250:  # a long line: scale down before the weights overflow
            weights = [w / total for w in weights]
            total = 1.0
        if limit is None and n > servers and weights[-1] < tail * total:
            break
    p = [w / total for w in weights]
    length = sum(max(n - servers, 0) * pn for n, pn in enumerate(p))
    busy = sum(min(n, servers) * pn for n, pn in enumerate(p))
    balked = p[-1] if limit is not None else 0.0
    # An arrival that finds n >= c joins with j = n - c ahead of it. While i
    # are ahead it moves up at rate c mu + i theta and leaves at rate theta,
    # so each stage lasts Exp(c mu + (i + 1) theta) whether it ends in
    # service or not, and the chances of moving up multiply (telescoping)
    # to c mu / (c mu + (j + 1) theta).
    joining = p[:-1] if limit is not None else p
    served = sum(joining[:servers])
    reneged = wait = stages = 0.0
    for j, pn in enumerate(joining[servers:]):
        rate = servers * service + (j + 1) * abandon
        stages += 1.0 / rate
        survive = servers * service / rate
        served += pn * survive
        reneged += pn * (1.0 - survive)
        wait += pn * survive * stages
    return {"balked": balked, "reneged": reneged, "wait": wait / served, "length": length, "busy": busy}


def bounded_buffer(production, consumption, capacity):
    """A producer and a consumer around a buffer of `capacity` items: the
    producer makes an item in an exponential time of rate `production`, puts
    it into the buffer (blocked while the buffer is full) and starts on the
    next; the consumer takes an item (waiting while the buffer is empty) and
    works on it for an exponential time of rate `consumption`.

    Count what is in the system: the items in the buffer, plus one while the
    consumer works on an item, plus one while the producer holds a finished
    item it cannot put. That number goes up by one at rate `production` and
    down by one at rate `consumption`, from 0 (buffer empty, consumer idle)
    to capacity + 2 (buffer full, consumer busy, producer blocked): an
    M/M/1/(capacity + 2) chain, whose weights are rho^n.

    Returns a dict of `throughput` (items consumed per unit of time),
    `content` (mean number of items in the buffer), `blocked` (the share of
    puts that find the buffer full and wait), `put_wait` and `get_wait` (the
    mean wait of a put and of a get, counting those that wait not at all)."""
    rho = production / consumption
    top = capacity + 2
    weights = [rho ** n for n in range(top + 1)]
    total = sum(weights)
    p = [w / total for w in weights]
    content = sum((n - 1) * p[n] for n in range(2, top)) + capacity * p[top]
    # A producer that finishes while the buffer is full and the consumer
    # busy waits for the rest of the consumer's item, Exp(consumption); a
    # consumer that finishes on an empty buffer waits for the rest of the
    # producer's item, Exp(production). Finishing times see the chain as it
    # is (each side finishes at a constant rate while it works).
    blocked = p[top - 1] / (1.0 - p[top])
    starved = p[1] / (1.0 - p[0])
    return {"throughput": consumption * (1.0 - p[0]), "content": content, "blocked": blocked,
            "put_wait": blocked / consumption, "get_wait": starved / production}


def deadline_race(delivery, deadline=None, fixed=None):
    """A delivery of exponential duration (rate `delivery`) races a deadline,
    itself exponential of rate `deadline` or `fixed` long. Returns a dict of
    `on_time` (the chance that the delivery comes first), `decided` (the
    mean time until one of them happens) and `left` (the mean time a
    delivery still had to go when the deadline cancelled it: by the lack of
    memory of the exponential, always 1 / delivery)."""
    if fixed is None:
        # Two exponential clocks: the first rings at rate a + b, and it is
        # the delivery's with chance a / (a + b).
        on_time = delivery / (delivery + deadline)
        decided = 1.0 / (delivery + deadline)
    else:
        on_time = 1.0 - math.exp(-delivery * fixed)
        decided = on_time / delivery  # the integral of exp(-a t) from 0 to d
    return {"on_time": on_time, "decided": decided, "left": 1.0 / delivery}


def machine_repair(machines, failure, repair):
    """`machines` machines each break down after an exponential working time
    of rate `failure`; one repairman mends them one at a time, first broken
    first mended, in an exponential time of rate `repair` (the finite-source
    M/M/1//N model). The number of broken machines n is a birth-death chain
    with births (N - n) x failure and deaths repair.

    Returns a dict of `up` (mean machines working), `busy` (the repairman's
    utilisation), `length` (mean machines waiting for him) and `wait` (mean
    wait of a broken machine before its repair starts). With one machine,
    `up` is the availability MTTF / (MTTF + MTTR)."""
    weights = [1.0]
    for n in range(1, machines + 1):
        weights.append(weights[-1] * (machines - n + 1) * failure / repair)
    total = sum(weights)
    p = [w / total for w in weights]
    broken = sum(n * pn for n, pn in enumerate(p))
    length = sum((n - 1) * pn for n, pn in enumerate(p) if n > 0)
    busy = 1.0 - p[0]
    # Little's law on the line, fed by the breakdowns: repair x busy of them
    # per unit of time (as many as are mended).
    return {"up": machines - broken, "busy": busy, "length": length, "wait": length / (repair * busy)}


def report(replications, name, value, label):
    """Prints one output's interval next to its theory value (None: no
    formula) and returns whether the interval covers it."""
    mean, half = replications.interval(name)
    if value is None:
        print("  %-26s %10.4f +/- %-8.4f  (no formula)" % (label, mean, half))
        return True
    covered = abs(mean - value) <= half
    print("  %-26s %10.4f +/- %-8.4f  theory %10.4f  %s" % (label, mean, half, value,
                                                             "covered" if covered else "NOT covered"))
    return covered


def verdict(checks, confidence=0.95):
    """The closing lines of an example: how many intervals missed theory,
    and what a miss means."""
    missed = checks.count(False)
    if not missed:
        return "Every interval covers its theory value."
    text = ("%d of %d intervals miss their theory value. At %g %% confidence an interval misses by chance about once "
            "in %d (%.2g misses expected among %d), and outputs that move together, such as a wait and its line "
            "length, miss together. Run again with another --seed: a chance miss moves or goes, while one that comes "
            "back whatever the seed means runs too short to reach the steady state the formula describes (more "
            "--customers or --warmup), or a fault in the model." % (
                missed, len(checks), 100 * confidence, round(1 / (1 - confidence)), len(checks) * (1 - confidence),
                len(checks)))
    return textwrap.fill(text, 100)


def add_run_options(parser, customers=20000, warmup=2000, unit="customers"):
    """--customers (unless None), --warmup, --replications and --seed, and
    where the replications run (--workers, --scheduler)."""
    if customers is not None:
        parser.add_argument("--customers", type=int, default=customers,
                            help="%s measured per run (default %d)" % (unit, customers))
    parser.add_argument("--warmup", type=type(warmup), default=warmup,
                        help="%s discarded first (default %g)" % (unit, warmup))
    parser.add_argument("--replications", type=int, default=10, help="independent runs (default 10)")
    parser.add_argument("--seed", type=int, default=2026, help="base seed of the replications (default 2026)")
    add_csv_option(parser)
    parallel.add_arguments(parser)


def add_csv_option(parser, what="every replication's seed and outputs"):
    parser.add_argument("--csv", metavar="PATH", help="also write %s as CSV to PATH (- for standard output)" % what)


def write_csv(path, result):
    """Writes what an example ran to `path` (the --csv option; None: no
    file, -: standard output) and says where it went. `result` is a
    Replications or a Sweep, or a list of (label, Replications) for an
    example that runs several models: they share one table, whose first
    column, `run`, tells them apart, with an empty cell where a run has no
    such output."""
    if not path:
        return
    target = sys.stdout if path == "-" else path
    if hasattr(result, "write_csv"):
        result.write_csv(target)
    else:
        header, rows = ["run", "replication", "seed"], []
        for _, runs in result:
            header.extend(name for name in runs.header()[2:] if name not in header)
        for label, runs in result:
            for row in runs.rows():
                values = dict(zip(runs.header(), row))
                rows.append([label] + [values.get(name, "") for name in header[1:]])
        write_rows(target, header, rows)
    if target is not sys.stdout:
        print("CSV written to %s" % path)


def rate_list(text):
    """An option value of comma-separated positive rates, such as 0.2,0.3."""
    rates = tuple(float(rate) for rate in text.split(","))
    if not all(rate > 0 for rate in rates):
        raise argparse.ArgumentTypeError("every rate must be positive: %r" % text)
    return rates
