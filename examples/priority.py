"""M/M/1 with non-preemptive priority classes: the server always takes the
most urgent customer waiting next but never interrupts a service. Each
class's mean wait is checked against Cobham's formula.

    PYTHONPATH=. python examples/priority.py --rates 0.1,0.2,0.3,0.2

Class 1 is the most urgent. The line is a RequestBinaryHeap, which serves
the largest priority first and, within a priority, the customer who came
first; so class k seizes with priority K - k.
"""
from __future__ import division, print_function

import argparse
import bisect
import random
import sys

from vorm import Facility, Simulation, Tally, parallel, replicate
from vorm.ext import RequestBinaryHeap

import theory


def model(seed, rates=(0.2, 0.3, 0.3), service=1.0, customers=20000, warmup=2000):
    """`rates` are the arrival rates of classes 1, 2, ... Outputs: `wait`
    (mean wait in line of everybody), `wait_1`, `wait_2`, ... (of each
    class), `length` (time-average line length) and `busy` (utilisation)."""
    rng = random.Random(seed)
    sim = Simulation()
    server = Facility(sim, line=RequestBinaryHeap(), name="server")
    classes = len(rates)
    waits = [Tally("class %d wait" % (k + 1), sim) for k in range(classes)]
    total = sum(rates)
    # A class is drawn from the arrival rates: thresholds of a uniform draw.
    bounds = [sum(rates[:k + 1]) / total for k in range(classes - 1)]

    def customer(k, service_time):
        arrived = sim.now
        yield server.seize(classes - 1 - k)
        waits[k].add(sim.now - arrived)
        yield service_time
        server.release()

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                server.reset()
                for tally in waits:
                    tally.reset()
            yield rng.expovariate(total)
            k = bisect.bisect(bounds, rng.random())
            sim.start(customer(k, rng.expovariate(service)))

    sim.start(source())
    sim.run()
    outputs = {"wait": server.wait.mean()}
    for k, tally in enumerate(waits):
        outputs["wait_%d" % (k + 1)] = tally.mean()
    outputs["length"] = server.length.mean()
    outputs["busy"] = server.busy.mean()
    return outputs



def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rates", type=theory.rate_list, default=(0.2, 0.3, 0.3),
                        help="arrival rates of classes 1, 2, ..., most urgent first (default 0.2,0.3,0.3)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu of every class (default 1.0)")
    theory.add_run_options(parser)
    args = parser.parse_args(argv)
    load = sum(args.rates) / args.service
    if not load < 1 or args.replications < 2:
        parser.error("need a total load below 1 and at least 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        waits = theory.cobham(args.rates, args.service)
        fifo = theory.mmc(sum(args.rates), args.service)
        print("M/M/1 with %d priority classes, arrival rates %s, service rate %g (utilisation %.3f): "
              "%d replications of %d customers" % (len(args.rates), ",".join("%g" % r for r in args.rates),
                                                   args.service, load, args.replications, args.customers))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            rates=args.rates, service=args.service, customers=args.customers, warmup=args.warmup))
        # With one service rate for all, non-preemptive priorities reorder the
        # line without changing the work in it: the mean over all classes is the
        # FIFO line's.
        checks = [theory.report(runs, "wait", fifo["wait"], "mean wait, all classes")]
        for k, wait in enumerate(waits):
            checks.append(theory.report(runs, "wait_%d" % (k + 1), wait, "  class %d (Cobham)" % (k + 1)))
        checks.append(theory.report(runs, "length", fifo["length"], "mean line length"))
        checks.append(theory.report(runs, "busy", load, "utilisation"))
        print("\n" + theory.verdict(checks))
        theory.write_csv(args.csv, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
