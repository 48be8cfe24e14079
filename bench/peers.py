"""Races the models of examples/ on vorm against their SimPy 3 peers
(bench/simpy_models.py) in this one process, and checks that both report
the same numbers.

    PYTHONPATH=. /usr/bin/python3 bench/peers.py [--pairs N] [--only mm1,renege]

Each model runs vorm, SimPy, vorm, SimPy, ... with a new seed for every
pair, and every output of a pair must be equal. Per model it prints one line

    peer MODEL: vorm T s, SimPy T s, speedup Rx, same numbers: yes

with T the median time of one run and R the median of the paired ratios
SimPy / vorm, so that a machine slowing down for a while slows both sides
of a ratio alike. The last line races the M/M/1 against the plainest
Python loop that computes the same numbers (bench/floor.py):

    peer floor: vorm T s, plain heapq loop T s, ratio Rx, same numbers: yes

The exit status is 1 when some pair differs.
"""
from __future__ import division, print_function

import argparse
import gc
import math
import os
import sys
from timeit import default_timer as clock

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "examples"), ROOT]

import simpy  # noqa: E402

import bank  # noqa: E402
import buffer  # noqa: E402
import floor  # noqa: E402
import gasstation  # noqa: E402
import mm1  # noqa: E402
import mmc  # noqa: E402
import network  # noqa: E402
import preempt  # noqa: E402
import priority  # noqa: E402
import race  # noqa: E402
import shop  # noqa: E402
import simpy_models  # noqa: E402
from vorm import seed_for  # noqa: E402

# name, vorm model, SimPy model, parameters, pairs. The renege model is an
# overloaded bank whose line holds about (arrival - service) x patience =
# 10,000 impatient customers while it is measured. store, tank, race and
# shop are examples/buffer.py, gasstation.py, race.py and shop.py: about
# 38,000 items through the buffer, 40,000 cars, 20,000 orders, and 98,000
# jobs with 12,000 breakdowns.
PEERS = [
    ("mm1", mm1.model, simpy_models.mm1, {}, 9),
    ("mmc", mmc.model, simpy_models.mmc, {}, 9),
    ("priority", priority.model, simpy_models.priority, {}, 9),
    ("preempt", preempt.model, simpy_models.preempt, {}, 9),
    ("renege", bank.model, simpy_models.bank,
     dict(arrival=10.0, service=1.0, tellers=1, limit=None, patience=1111.0, warmup=4000.0, minutes=2000.0), 5),
    ("network", network.model, simpy_models.network, {}, 7),
    ("store", buffer.model, simpy_models.buffer, dict(minutes=40000.0), 9),
    ("tank", gasstation.model, simpy_models.gasstation, dict(minutes=80000.0), 9),
    ("race", race.model, simpy_models.race, {}, 9),
    ("shop", shop.model, simpy_models.shop, dict(hours=20000.0), 9),
    ("floor", mm1.model, floor.mm1, {}, 9),
]

# What each race's peer is called on its line.
PEER_NAMES = {"floor": "plain heapq loop"}


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def timed(model, seed, params):
    gc.collect()  # the garbage of the run before is not this run's cost
    started = clock()
    outputs = model(seed, **params)
    return clock() - started, outputs


def same(a, b):
    def equal(x, y):
        return x == y or (isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y))
    return sorted(a) == sorted(b) and all(equal(a[name], b[name]) for name in a)


def race(name, ours, theirs, params, pairs):
    """Returns the result line of one model and whether every pair agreed."""
    times, peer_times, ratios, agreed = [], [], [], True
    for pair in range(pairs):
        seed = seed_for(2026, pair)
        ours_time, ours_outputs = timed(ours, seed, params)
        peer_time, peer_outputs = timed(theirs, seed, params)
        times.append(ours_time)
        peer_times.append(peer_time)
        ratios.append(peer_time / ours_time)
        if not same(ours_outputs, peer_outputs):
            agreed = False
            sys.stderr.write("peer %s, seed %d:\n  vorm  %r\n  SimPy %r\n" % (name, seed, ours_outputs, peer_outputs))
    line = "peer %s: vorm %.3f s, %s %.3f s, %s %.2fx, same numbers: %s" % (
        name, median(times), PEER_NAMES.get(name, "SimPy"), median(peer_times),
        "ratio" if name in PEER_NAMES else "speedup", median(ratios), "yes" if agreed else "no")
    return line, agreed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, help="interleaved pairs of runs per model (default 5 to 9)")
    parser.add_argument("--only", help="comma-separated models to race (default all: %s)" % ",".join(
        peer[0] for peer in PEERS))
    args = parser.parse_args(argv)
    chosen = args.only.split(",") if args.only else [peer[0] for peer in PEERS]
    unknown = set(chosen) - set(peer[0] for peer in PEERS)
    if unknown or (args.pairs is not None and args.pairs < 1):
        parser.error("unknown model %s or fewer than 1 pair" % ",".join(sorted(unknown)))
    print("vorm against SimPy %s on Python %s, interleaved runs, medians" % (
        simpy.__version__, sys.version.split()[0]))
    sys.stdout.flush()
    everything_agreed = True
    for name, ours, theirs, params, pairs in PEERS:
        if name in chosen:
            line, agreed = race(name, ours, theirs, params, args.pairs or pairs)
            print(line)
            sys.stdout.flush()
            everything_agreed &= agreed
    return 0 if everything_agreed else 1


if __name__ == "__main__":
    sys.exit(main())
