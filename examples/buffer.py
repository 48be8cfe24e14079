"""A bounded buffer: a producer puts the items it makes into a Store of K
places and waits while the store is full; a consumer takes them out, waiting
while it is empty. Throughput, contents and both waits are checked against
the birth-death chain of the items in the system.

    PYTHONPATH=. python examples/buffer.py --capacity 3 --production 1.0 --consumption 1.1

With exponential production and consumption times the number of items in
the system (in the store, in the consumer's hands, in the blocked
producer's) is an M/M/1/(K + 2) chain: examples/theory.py, `bounded_buffer`.
The Store keeps its own monitors: `contents` (the items held) and the
tallies `put_wait` and `get_wait`.
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Simulation, Store, parallel, replicate

import theory


def model(seed, production=1.0, consumption=1.25, capacity=5, minutes=20000.0, warmup=1000.0):
    """Times in minutes: the buffer is watched for `minutes` after a
    warm-up. Outputs: `throughput` (items taken per minute), `content`
    (time-average items in the store), `blocked` (share of the puts that
    found it full), `put_wait` and `get_wait` (mean waits of a put and a
    get, those that did not wait counting 0)."""
    rng = random.Random(seed)
    # The producer and the consumer draw from streams of their own, so
    # neither's times depend on which of two simultaneous events runs first.
    making, using = random.Random(rng.getrandbits(64)), random.Random(rng.getrandbits(64))
    sim = Simulation()
    store = Store(sim, capacity, name="buffer")
    blocked = [0]

    def producer():
        number = 0
        while True:
            yield making.expovariate(production)
            finished = sim.now
            yield store.put(number)
            if sim.now > finished:
                blocked[0] += 1
            number += 1

    def consumer():
        while True:
            yield store.get()
            yield using.expovariate(consumption)

    sim.start(producer())
    sim.start(consumer())
    sim.run(until=warmup)
    store.reset()
    blocked[0] = 0
    sim.run(until=warmup + minutes)
    puts = store.put_wait.count
    return {"throughput": store.get_wait.count / minutes, "content": store.contents.mean(),
            "blocked": blocked[0] / puts, "put_wait": store.put_wait.mean(), "get_wait": store.get_wait.mean()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--capacity", type=int, default=5, help="places in the buffer K (default 5)")
    parser.add_argument("--production", type=float, default=1.0, help="items made per minute (default 1.0)")
    parser.add_argument("--consumption", type=float, default=1.25, help="items used per minute (default 1.25)")
    parser.add_argument("--minutes", type=float, default=20000.0, help="minutes watched per run (default 20000)")
    theory.add_run_options(parser, customers=None, warmup=1000.0, unit="minutes")
    args = parser.parse_args(argv)
    if args.capacity < 1 or not args.production > 0 or not args.consumption > 0 or not args.minutes > 0 \
            or not args.warmup >= 0 or args.replications < 2:
        parser.error("need a capacity of at least 1, positive rates, some minutes to watch and 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        expected = theory.bounded_buffer(args.production, args.consumption, args.capacity)
        print("Buffer of %d places, %g items made and %g used per minute: %d replications of %g minutes"
              % (args.capacity, args.production, args.consumption, args.replications, args.minutes))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            production=args.production, consumption=args.consumption, capacity=args.capacity,
            minutes=args.minutes, warmup=args.warmup))
        checks = [theory.report(runs, "throughput", expected["throughput"], "items per minute"),
                  theory.report(runs, "content", expected["content"], "mean items in the buffer"),
                  theory.report(runs, "blocked", expected["blocked"], "share of puts that waited"),
                  theory.report(runs, "put_wait", expected["put_wait"], "mean wait of a put"),
                  theory.report(runs, "get_wait", expected["get_wait"], "mean wait of a get")]
        print("\n" + theory.verdict(checks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
