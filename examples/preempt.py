"""M/M/1 with preemptive-resume priority classes: a more urgent arrival
takes the server at once, and the customer it displaces waits again and
later finishes the service it had left. Each class's mean time in the
system is checked against the formula for exponential service.

    PYTHONPATH=. python examples/preempt.py --rates 0.3,0.3,0.2

Class 1 is the most urgent and seizes with the largest priority. The model
itself is plain seize, hold, release: the preemptive Facility stops the
displaced customer's hold and restarts it with the time left.
"""
from __future__ import division, print_function

import argparse
import bisect
import random
import sys

from vorm import Facility, Simulation, Tally, parallel, replicate
from vorm.ext import RequestBinaryHeap

import theory


def model(seed, rates=(0.3, 0.3, 0.2), service=1.0, customers=20000, warmup=2000):
    """`rates` are the arrival rates of classes 1, 2, ... Outputs: `time_1`,
    `time_2`, ... (mean time in the system of each class), `preemptions`
    (per customer) and `busy` (utilisation)."""
    rng = random.Random(seed)
    sim = Simulation()
    server = Facility(sim, line=RequestBinaryHeap(), preemptive=True, name="server")
    classes = len(rates)
    times = [Tally("class %d time" % (k + 1), sim) for k in range(classes)]
    total = sum(rates)
    bounds = [sum(rates[:k + 1]) / total for k in range(classes - 1)]

    def customer(k, service_time):
        arrived = sim.now
        yield server.seize(classes - 1 - k)
        yield service_time
        server.release()
        times[k].add(sim.now - arrived)

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                server.reset()
                for tally in times:
                    tally.reset()
            yield rng.expovariate(total)
            k = bisect.bisect(bounds, rng.random())
            sim.start(customer(k, rng.expovariate(service)))

    sim.start(source())
    sim.run()
    outputs = {}
    for k, tally in enumerate(times):
        outputs["time_%d" % (k + 1)] = tally.mean()
    outputs["preemptions"] = server.preempted / customers
    outputs["busy"] = server.busy.mean()
    return outputs


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rates", type=theory.rate_list, default=(0.3, 0.3, 0.2),
                        help="arrival rates of classes 1, 2, ..., most urgent first (default 0.3,0.3,0.2)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu of every class (default 1.0)")
    theory.add_run_options(parser)
    args = parser.parse_args(argv)
    load = sum(args.rates) / args.service
    if not load < 1 or args.replications < 2:
        parser.error("need a total load below 1 and at least 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        times = theory.preemptive_resume(args.rates, args.service)
        print("M/M/1 with %d preemptive-resume classes, arrival rates %s, service rate %g (utilisation %.3f): "
              "%d replications of %d customers" % (len(args.rates), ",".join("%g" % r for r in args.rates),
                                                   args.service, load, args.replications, args.customers))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            rates=args.rates, service=args.service, customers=args.customers, warmup=args.warmup))
        checks = []
        for k, time in enumerate(times):
            checks.append(theory.report(runs, "time_%d" % (k + 1), time, "time in system, class %d" % (k + 1)))
        theory.report(runs, "preemptions", None, "preemptions per customer")
        checks.append(theory.report(runs, "busy", load, "utilisation"))
        print("\n" + theory.verdict(checks))
        theory.write_csv(args.csv, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
