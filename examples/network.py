"""A job shop, a network of facilities: every job is turned on the lathe,
then milled on one of two mills and inspected; a job that fails inspection
goes back to the mills for rework.

    PYTHONPATH=. python examples/network.py --rework 0.3

With Poisson arrivals, exponential machining and random rework this is a
Jackson network: each station behaves like an M/M/c queue fed at its own
rate (the mills and the inspection see every job 1 / (1 - rework) times on
average), so each station's wait is checked against M/M/1 or Erlang C,
and a job's time in the shop against the sum over its visits.
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Facility, Simulation, Tally, parallel, replicate

import theory


def model(seed, arrival=0.5, rework=0.2, lathe=1.0, mill=0.5, mills=2, inspection=1.0, jobs=20000, warmup=2000):
    """`lathe`, `mill` and `inspection` are the service rates of one
    machine. Outputs: `wait_lathe`, `wait_mill` and `wait_inspection` (mean
    wait in line per visit) and `time` (mean time in the shop of a job)."""
    rng = random.Random(seed)
    sim = Simulation()
    lathes = Facility(sim, name="lathe")
    millers = Facility(sim, mills, name="mill")
    inspector = Facility(sim, name="inspection")
    times = Tally("time in shop", sim)

    def job(lathe_time, visits):
        arrived = sim.now
        yield lathes.seize()
        yield lathe_time
        lathes.release()
        for mill_time, inspection_time in visits:
            yield millers.seize()
            yield mill_time
            millers.release()
            yield inspector.seize()
            yield inspection_time
            inspector.release()
        times.add(sim.now - arrived)

    def source():
        for number in range(warmup + jobs):
            if number == warmup:
                for monitored in (lathes, millers, inspector, times):
                    monitored.reset()
            yield rng.expovariate(arrival)
            # The whole route is drawn at arrival, rework included.
            lathe_time = rng.expovariate(lathe)
            visits = []
            while True:
                visits.append((rng.expovariate(mill), rng.expovariate(inspection)))
                if rng.random() >= rework:
                    break
            sim.start(job(lathe_time, visits))

    sim.start(source())
    sim.run()
    return {"wait_lathe": lathes.wait.mean(), "wait_mill": millers.wait.mean(),
            "wait_inspection": inspector.wait.mean(), "time": times.mean()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arrival", type=float, default=0.5, help="jobs per hour (default 0.5)")
    parser.add_argument("--rework", type=float, default=0.2, help="chance that an inspection fails (default 0.2)")
    parser.add_argument("--lathe", type=float, default=1.0, help="service rate of the lathe (default 1.0)")
    parser.add_argument("--mill", type=float, default=0.5, help="service rate of one mill (default 0.5)")
    parser.add_argument("--mills", type=int, default=2, help="number of mills (default 2)")
    parser.add_argument("--inspection", type=float, default=1.0, help="service rate of inspection (default 1.0)")
    parser.add_argument("--jobs", type=int, default=20000, help="jobs measured per run (default 20000)")
    theory.add_run_options(parser, customers=None, unit="jobs")
    args = parser.parse_args(argv)
    visits = 1.0 / (1.0 - args.rework) if 0 <= args.rework < 1 else 0
    stations = (("lathe", args.arrival, args.lathe, 1),
                ("mill", args.arrival * visits, args.mill, args.mills),
                ("inspection", args.arrival * visits, args.inspection, 1))
    if not visits or args.mills < 1 or args.replications < 2 or not all(
            0 < rate < servers * service for _, rate, service, servers in stations):
        parser.error("need 0 <= rework < 1, at least 1 mill and 2 replications, and every station below full load")

    with parallel.executor_for(args, parser=parser) as executor:
        print("Job shop, %g jobs per hour, rework %g: %d replications of %d jobs"
              % (args.arrival, args.rework, args.replications, args.jobs))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            arrival=args.arrival, rework=args.rework, lathe=args.lathe, mill=args.mill, mills=args.mills,
            inspection=args.inspection, jobs=args.jobs, warmup=args.warmup))
        checks, lathe_stay, loop_stay = [], 0.0, 0.0
        for name, rate, service, servers in stations:
            wait = theory.mmc(rate, service, servers)["wait"]
            label = "wait at %s (M/M/%d)" % (name, servers)
            checks.append(theory.report(runs, "wait_" + name, wait, label))
            if name == "lathe":
                lathe_stay = wait + 1.0 / service
            else:
                loop_stay += wait + 1.0 / service
        checks.append(theory.report(runs, "time", lathe_stay + visits * loop_stay, "time in the shop"))
        print("\n" + theory.verdict(checks))
        theory.write_csv(args.csv, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
