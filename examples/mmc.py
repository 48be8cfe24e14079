"""M/M/c: c identical servers share one first-come first-served line; the
waiting time is checked against Erlang's C formula.

    PYTHONPATH=. python examples/mmc.py --servers 5 --arrival 4.5

One Facility of capacity c is the whole model: it keeps the waits, the line
length and the busy servers itself.
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Facility, Simulation, parallel, replicate

import theory


def model(seed, arrival=2.4, service=1.0, servers=3, customers=20000, warmup=2000):
    """Outputs: `wait` (mean wait in line), `delayed` (share of customers
    who had to wait at all), `length` (time-average line length) and `busy`
    (mean number of busy servers)."""
    rng = random.Random(seed)
    sim = Simulation()
    counter = Facility(sim, servers, name="counter")
    delayed = [0]

    def customer(service_time):
        arrived = sim.now
        yield counter.seize()
        if sim.now > arrived:
            delayed[0] += 1
        yield service_time
        counter.release()

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                counter.reset()
                delayed[0] = 0
            yield rng.expovariate(arrival)
            sim.start(customer(rng.expovariate(service)))

    sim.start(source())
    sim.run()
    return {"wait": counter.wait.mean(), "delayed": delayed[0] / counter.served, "length": counter.length.mean(),
            "busy": counter.busy.mean()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--servers", type=int, default=3, help="number of servers c (default 3)")
    parser.add_argument("--arrival", type=float, default=2.4, help="arrival rate lambda (default 2.4)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu of one server (default 1.0)")
    theory.add_run_options(parser)
    args = parser.parse_args(argv)
    if args.servers < 1 or not 0 < args.arrival < args.servers * args.service or args.replications < 2:
        parser.error("need at least 1 server, 0 < arrival < servers * service and at least 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        expected = theory.mmc(args.arrival, args.service, args.servers)
        print("M/M/%d with arrival rate %g, service rate %g (utilisation %.3f): %d replications of %d customers" % (
            args.servers, args.arrival, args.service, args.arrival / (args.servers * args.service), args.replications,
            args.customers))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            arrival=args.arrival, service=args.service, servers=args.servers, customers=args.customers,
            warmup=args.warmup))
        checks = [theory.report(runs, "wait", expected["wait"], "mean wait in line"),
                  theory.report(runs, "delayed", expected["delayed"], "share delayed (Erlang C)"),
                  theory.report(runs, "length", expected["length"], "mean line length"),
                  theory.report(runs, "busy", expected["busy"], "mean busy servers")]
        print("\n" + theory.verdict(checks))
        theory.write_csv(args.csv, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
