"""A bank: tellers serve one line, customers who find the line full walk
away (balking) and customers who wait longer than their patience leave
the line (reneging).

    PYTHONPATH=. python examples/bank.py --tellers 2 --limit 5 --patience 3

With exponential service and patience, the number of customers in the bank
is a birth-death chain (M/M/c/K+M), so every output has a theory value:
the chain is solved numerically (examples/theory.py, `impatient`). With
--patience inf it is M/M/c/K; with --no-limit too, M/M/c.
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Facility, Simulation, parallel, replicate

import theory

INFINITY = float("inf")


def model(seed, arrival=3.0, service=1.1, tellers=3, limit=8, patience=5.0, minutes=6000.0, warmup=600.0):
    """Times in minutes: the bank is watched for `minutes` after a warm-up.
    `limit` None lets the line grow without bound; an infinite `patience`
    (the mean) means nobody reneges. Outputs: `balked` and `reneged` (shares
    of the arrivals), `wait` (mean wait of the customers served), `length`
    (time-average line length) and `busy` (mean busy tellers)."""
    rng = random.Random(seed)
    sim = Simulation()
    bank = Facility(sim, tellers, name="tellers", limit=limit)
    impatient = patience < INFINITY
    arrivals = [0]

    def customer(service_time, patience_time):
        # The seize evaluates to False for a customer who balked or reneged.
        if (yield bank.seize(patience=patience_time)):
            yield service_time
            bank.release()

    def source():
        while True:
            yield rng.expovariate(arrival)
            arrivals[0] += 1
            service_time = rng.expovariate(service)
            sim.start(customer(service_time, rng.expovariate(1.0 / patience) if impatient else None))

    # The run stops on the clock, not when the last customer has left: with
    # long lines and patient customers, that drain would take most of it.
    sim.start(source())
    sim.run(until=warmup)
    bank.reset()
    arrivals[0] = 0
    sim.run(until=warmup + minutes)
    return {"balked": bank.balked / arrivals[0], "reneged": bank.reneged / arrivals[0], "wait": bank.wait.mean(),
            "length": bank.length.mean(), "busy": bank.busy.mean()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tellers", type=int, default=3, help="number of tellers (default 3)")
    parser.add_argument("--arrival", type=float, default=3.0, help="arrivals per minute (default 3.0)")
    parser.add_argument("--service", type=float, default=1.1, help="services per minute of one teller (default 1.1)")
    parser.add_argument("--limit", type=int, default=8, help="longest line a customer joins (default 8)")
    parser.add_argument("--no-limit", action="store_true", help="let the line grow without bound")
    parser.add_argument("--patience", type=float, default=5.0,
                        help="mean patience in minutes, inf for none (default 5.0)")
    parser.add_argument("--minutes", type=float, default=6000.0, help="minutes watched per run (default 6000)")
    theory.add_run_options(parser, customers=None, warmup=600.0, unit="minutes")
    args = parser.parse_args(argv)
    limit = None if args.no_limit else args.limit
    if args.tellers < 1 or (limit is not None and limit < 0) or not args.patience > 0 or args.replications < 2 \
            or not args.minutes > 0 or not args.warmup >= 0:
        parser.error("need at least 1 teller, a limit of at least 0, a positive patience, some minutes to watch "
                     "and 2 replications")
    if limit is None and args.patience == INFINITY and not args.arrival < args.tellers * args.service:
        parser.error("without a limit or reneging the line grows for ever: need arrival < tellers * service")

    with parallel.executor_for(args, parser=parser) as executor:
        expected = theory.impatient(args.arrival, args.service, args.tellers, args.patience, limit)
        print("Bank with %d tellers, %g arrivals and %g services per minute, line limit %s, mean patience %g min: "
              "%d replications of %g minutes" % (args.tellers, args.arrival, args.service,
                                                 "none" if limit is None else limit, args.patience,
                                                 args.replications, args.minutes))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            arrival=args.arrival, service=args.service, tellers=args.tellers, limit=limit, patience=args.patience,
            minutes=args.minutes, warmup=args.warmup))
        checks = [theory.report(runs, "balked", expected["balked"], "share balked"),
                  theory.report(runs, "reneged", expected["reneged"], "share reneged"),
                  theory.report(runs, "wait", expected["wait"], "mean wait of those served"),
                  theory.report(runs, "length", expected["length"], "mean line length"),
                  theory.report(runs, "busy", expected["busy"], "mean busy tellers")]
        print("\n" + theory.verdict(checks))
        theory.write_csv(args.csv, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
