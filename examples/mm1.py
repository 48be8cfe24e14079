"""M/M/1: one server, Poisson arrivals and exponential service, simulated on
the vorm layer in replications with 95 % confidence intervals, each next to
its queueing-theory value.

    PYTHONPATH=. python examples/mm1.py --arrival 0.9 --replications 20

Run 1 serves first come, first served (the default line, a RequestListFIFO).
Run 2 makes a share of the customers urgent and lets them wait in a
RequestBinaryHeap, which serves them first (non-preemptive priority).
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Facility, Simulation, Tally, parallel, replicate
from vorm.ext import RequestBinaryHeap

import theory

URGENT, NORMAL = 1.0, 0.0  # a RequestBinaryHeap serves the larger priority first


def simulate(seed, arrival=0.7, service=1.0, customers=20000, warmup=2000, urgent=0.0, series=False):
    """One run. Returns the server, whose monitors hold the results, and a
    Tally of the waits of each priority (empty when `urgent` is 0)."""
    rng = random.Random(seed)
    sim = Simulation()
    server = Facility(sim, line=RequestBinaryHeap() if urgent else None, name="server", series=series)
    waits = {URGENT: Tally("urgent wait", sim), NORMAL: Tally("normal wait", sim)}

    def customer(service_time):
        yield server.seize()
        yield service_time  # yielding a number holds for that long
        server.release()

    def prioritised(priority, service_time):
        arrived = sim.now
        yield server.seize(priority)
        waits[priority].add(sim.now - arrived)
        yield service_time
        server.release()

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                # The line started empty: forget what the first customers saw.
                server.reset()
                waits[URGENT].reset()
                waits[NORMAL].reset()
            yield rng.expovariate(arrival)
            # A customer's random values are all drawn here, at its arrival,
            # so the order of simultaneous events cannot change them.
            if urgent:
                priority = URGENT if rng.random() < urgent else NORMAL
                sim.start(prioritised(priority, rng.expovariate(service)))
            else:
                sim.start(customer(rng.expovariate(service)))

    sim.start(source())
    sim.run()
    return server, waits


def model(seed, arrival=0.7, service=1.0, customers=20000, warmup=2000, urgent=0.0):
    """Outputs: `wait` (mean wait in line), `length` (time-average line
    length), `busy` (utilisation); when `urgent` > 0 also `urgent_wait` and
    `normal_wait`, the mean waits of each kind of customer."""
    server, waits = simulate(seed, arrival, service, customers, warmup, urgent)
    outputs = {"wait": server.wait.mean(), "length": server.length.mean(), "busy": server.busy.mean()}
    if urgent:
        outputs["urgent_wait"] = waits[URGENT].mean()
        outputs["normal_wait"] = waits[NORMAL].mean()
    return outputs


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arrival", type=float, default=0.7, help="arrival rate lambda (default 0.7)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu (default 1.0)")
    parser.add_argument("--urgent", type=float, default=0.5, help="share of urgent customers in run 2 (default 0.5)")
    theory.add_run_options(parser)
    args = parser.parse_args(argv)
    if not 0 < args.arrival < args.service or not 0 < args.urgent < 1 or args.replications < 2:
        parser.error("need 0 < arrival < service, 0 < urgent < 1 and at least 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        lam, mu = args.arrival, args.service
        fifo = theory.mmc(lam, mu)
        # Two classes of one service rate: Cobham's formula.
        urgent_wait, normal_wait = theory.cobham([lam * args.urgent, lam * (1 - args.urgent)], mu)
        print("M/M/1 with arrival rate %g, service rate %g (utilisation %.3f): %d replications of %d customers"
              % (lam, mu, lam / mu, args.replications, args.customers))
        params = dict(arrival=lam, service=mu, customers=args.customers, warmup=args.warmup)
        checks = []

        print("\nFIFO line (RequestListFIFO)")
        runs = replicate(model, args.replications, args.seed, params, executor=executor)
        ran = [("fifo", runs)]
        checks.append(theory.report(runs, "wait", fifo["wait"], "mean wait in line"))
        checks.append(theory.report(runs, "length", fifo["length"], "mean line length"))
        checks.append(theory.report(runs, "busy", fifo["busy"], "utilisation"))

        print("\npriority line (RequestBinaryHeap), %g %% urgent" % (100 * args.urgent))
        params["urgent"] = args.urgent
        runs = replicate(model, args.replications, args.seed, params, executor=executor)
        ran.append(("priority", runs))
        # Priorities change who waits, not how much work waits: the mean over
        # everybody stays that of the FIFO line.
        checks.append(theory.report(runs, "wait", fifo["wait"], "mean wait in line"))
        checks.append(theory.report(runs, "urgent_wait", urgent_wait, "  urgent customers"))
        checks.append(theory.report(runs, "normal_wait", normal_wait, "  normal customers"))
        print("\n" + theory.verdict(checks))
        theory.write_csv(args.csv, ran)
    return 0


if __name__ == "__main__":
    sys.exit(main())
