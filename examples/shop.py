"""A machine shop: machines work through jobs and break down now and then;
a breakdown interrupts the job in hand, the machine waits for the one
repairman, is mended and then finishes the job where it stopped. Checked
against the machine-repair model (finite-source M/M/1//N).

    PYTHONPATH=. python examples/shop.py --machines 6 --failure 0.125 --repair 1.0

Each machine has a breakdown process beside it that waits out the working
time to the next failure and then calls `machine.interrupt(repair_time)`:
Interrupt is raised inside the machine at its hold, with the cause (how
long the repair will take) and `left`, the time the job still needed. The
breakdown process then sleeps (passivate) until the machine, mended, wakes
it for the next working time. With one machine, the share of time it works
is the availability MTTF / (MTTF + MTTR).
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Facility, Interrupt, Level, Simulation, parallel, passivate, replicate

import theory


def model(seed, machines=6, failure=0.125, repair=1.0, job=1.0, hours=10000.0, warmup=500.0):
    """Rates per hour: `failure` (breakdowns per working hour of one
    machine), `repair` and `job` (jobs done per working hour). Outputs:
    `up` (mean machines working), `busy` (the repairman's utilisation),
    `wait` (mean wait for the repairman), `length` (mean machines waiting
    for him) and `jobs` (jobs done per hour)."""
    rng = random.Random(seed)
    # Each machine draws its jobs, and its breakdown process the working
    # times and repairs, from streams of their own: no draw depends on the
    # order of simultaneous events.
    streams = [(random.Random(rng.getrandbits(64)), random.Random(rng.getrandbits(64))) for _ in range(machines)]
    sim = Simulation()
    repairman = Facility(sim, name="repairman")
    working = Level(sim, "machines up", machines)
    done = [0]
    breakdowns = []

    def machine(number, jobs):
        left = None
        while True:
            work = jobs.expovariate(job) if left is None else left
            try:
                yield work
                left = None
                done[0] += 1
            except Interrupt as breakdown:
                left = breakdown.left
                working.add(-1)
                yield repairman.seize()
                yield breakdown.cause
                repairman.release()
                working.add(1)
                breakdowns[number].reactivate()

    def breakdown(number, failures):
        while True:
            yield failures.expovariate(failure)
            machinery[number].interrupt(failures.expovariate(repair))
            yield passivate()

    machinery = [sim.start(machine(number, jobs), name="machine %d" % number)
                 for number, (jobs, _) in enumerate(streams)]
    breakdowns.extend(sim.start(breakdown(number, failures), name="breakdown %d" % number)
                      for number, (_, failures) in enumerate(streams))
    sim.run(until=warmup)
    repairman.reset()
    working.reset()
    done[0] = 0
    sim.run(until=warmup + hours)
    return {"up": working.mean(), "busy": repairman.busy.mean(), "wait": repairman.wait.mean(),
            "length": repairman.length.mean(), "jobs": done[0] / hours}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--machines", type=int, default=6, help="number of machines N (default 6)")
    parser.add_argument("--failure", type=float, default=0.125,
                        help="breakdowns per working hour of a machine, 1 / MTTF (default 0.125)")
    parser.add_argument("--repair", type=float, default=1.0, help="repairs per hour, 1 / MTTR (default 1.0)")
    parser.add_argument("--job", type=float, default=1.0, help="jobs per working hour of a machine (default 1.0)")
    parser.add_argument("--hours", type=float, default=10000.0, help="hours watched per run (default 10000)")
    theory.add_run_options(parser, customers=None, warmup=500.0, unit="hours")
    args = parser.parse_args(argv)
    if args.machines < 1 or not args.failure > 0 or not args.repair > 0 or not args.job > 0 \
            or not args.hours > 0 or not args.warmup >= 0 or args.replications < 2:
        parser.error("need at least 1 machine, positive rates, some hours to watch and 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        expected = theory.machine_repair(args.machines, args.failure, args.repair)
        print("Machine shop of %d machines, MTTF %g h, MTTR %g h, %g jobs per working hour: "
              "%d replications of %g hours" % (args.machines, 1.0 / args.failure, 1.0 / args.repair, args.job,
                                               args.replications, args.hours))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            machines=args.machines, failure=args.failure, repair=args.repair, job=args.job, hours=args.hours,
            warmup=args.warmup))
        # Jobs resume where a breakdown stopped them, so the jobs done are the
        # working hours over the mean job.
        checks = [theory.report(runs, "up", expected["up"], "mean machines working"),
                  theory.report(runs, "busy", expected["busy"], "repairman utilisation"),
                  theory.report(runs, "wait", expected["wait"], "mean wait for repair"),
                  theory.report(runs, "length", expected["length"], "mean machines waiting"),
                  theory.report(runs, "jobs", args.job * expected["up"], "jobs done per hour")]
        print("\n" + theory.verdict(checks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
