"""A parameter sweep of an M/M/c queue: every load x every number of
servers, n replications at each point, serially, in local worker processes
or on a dask.distributed cluster, with the same numbers in all three.

    PYTHONPATH=. python examples/sweep.py
    PYTHONPATH=. python examples/sweep.py --workers 2 --csv sweep.csv
    PYTHONPATH=. python3 examples/sweep.py --scheduler tcp://127.0.0.1:8786

The load is the utilisation rho = lambda / (c mu) that the arrival rate
gives, so that every point of the grid is a stable queue. The outputs are
the mean wait in line, the mean line length and the utilisation after the
warm-up customers, with their 95 % confidence half-widths, each beside its
steady-state value from Erlang's C formula.
"""
from __future__ import division, print_function

import argparse
import random
import sys
import time

from vorm import Facility, Simulation, hold, parallel, sweep

import theory


def model(seed, load=0.8, servers=1, service=1.0, customers=5000, warmup=500):
    """One replication: an M/M/c queue with c = servers at utilisation
    load, from its own random stream."""
    rng = random.Random(seed)
    sim = Simulation()
    desk = Facility(sim, capacity=servers, name="desk")
    arrival = load * servers * service

    def customer():
        yield desk.seize()
        yield hold(rng.expovariate(service))
        desk.release()

    def source():
        for number in range(warmup + customers):
            yield hold(rng.expovariate(arrival))
            if number == warmup:
                desk.reset()
            sim.start(customer())

    sim.start(source())
    sim.run()
    return {"wait": desk.wait.mean(), "line": desk.length.mean(), "utilisation": desk.busy.mean() / servers}


def checked(result, service):
    """The sweep's table with each interval's theory value beside it (Erlang
    C for the wait and the line, the load for the utilisation) and whether
    the interval covers it; and the list of those checks."""
    confidence = result.replications[0].confidence
    cells = [["load", "servers", "output", "mean", "+/- (%g %%)" % (100 * confidence), "theory", ""]]
    checks = []
    for point, runs in zip(result.points, result.replications):
        load, servers = point["load"], point["servers"]
        expected = theory.mmc(load * servers * service, service, servers)
        for output, value in (("wait", expected["wait"]), ("line", expected["length"]), ("utilisation", load)):
            mean, half = runs.interval(output)
            checks.append(abs(mean - value) <= half)
            cells.append(["%g" % load, "%d" % servers, output, "%.4f" % mean, "%.4f" % half, "%.4f" % value,
                          "covered" if checks[-1] else "NOT covered"])
    widths = [max(len(row[column]) for row in cells) for column in range(len(cells[0]))]
    lines = ["  ".join(cell.ljust(width) if column in (2, 6) else cell.rjust(width)
                       for column, (cell, width) in enumerate(zip(row, widths))).rstrip() for row in cells]
    return "\n".join(lines), checks


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--load", type=float, nargs="+", default=[0.5, 0.7, 0.9], metavar="RHO",
                        help="utilisations to sweep, each below 1 (default 0.5 0.7 0.9)")
    parser.add_argument("--servers", type=int, nargs="+", default=[1, 2, 4], metavar="C",
                        help="numbers of servers to sweep (default 1 2 4)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu of a server (default 1.0)")
    parser.add_argument("--replications", type=int, default=10, help="replications per point (default 10)")
    parser.add_argument("--customers", type=int, default=5000, help="customers measured per run (default 5000)")
    parser.add_argument("--warmup", type=int, default=500, help="customers before the measurement (default 500)")
    parser.add_argument("--seed", type=int, default=2026, help="base seed of the replications (default 2026)")
    theory.add_csv_option(parser, "the table")
    parallel.add_arguments(parser)
    args = parser.parse_args(argv)
    if not all(0 < load < 1 for load in args.load):
        parser.error("every --load must lie between 0 and 1")
    if min(args.servers) < 1 or args.replications < 2 or args.customers < 1 or args.warmup < 0:
        parser.error("need servers >= 1, at least 2 replications, customers >= 1 and warmup >= 0")

    if args.scheduler:
        where = "on the dask cluster at %s" % args.scheduler
    elif args.workers:
        where = "in %d local worker processes" % args.workers
    else:
        where = "serially"
    print("M/M/c sweep: %d loads x %d server counts, %d replications of %d customers each, %s" % (
        len(args.load), len(args.servers), args.replications, args.customers, where))
    sys.stdout.flush()
    grid = [("load", args.load), ("servers", args.servers)]
    fixed = {"service": args.service, "customers": args.customers, "warmup": args.warmup}
    started = time.time()
    with parallel.executor_for(args, parser=parser) as executor:
        result = sweep(model, grid, args.replications, seed=args.seed, params=fixed, executor=executor)
    elapsed = time.time() - started
    table, checks = checked(result, args.service)
    print(table)
    print("%d replications in %.1f s" % (len(result) * args.replications, elapsed))
    print("\n" + theory.verdict(checks, result.replications[0].confidence))
    theory.write_csv(args.csv, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
