"""A gas station: cars take one of a few pumps and fill up from the
station's Tank; every few minutes the manager looks at the tank and, when
it is low, calls a truck, which comes a while later with a load of fuel.
A car that finds too little fuel waits at its pump until the truck has
come.

    PYTHONPATH=. python examples/gasstation.py --pumps 2 --threshold 600

The tank serves the waiting cars first come, first served: a car that wants
little waits behind one that wants much. The fuel level, the waits for a
pump and the waits for fuel have no closed form here; bench/peers.py checks
the model against its SimPy twin instead.
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Facility, Simulation, Tank, parallel, replicate

import theory


def model(seed, arrival=0.5, pumps=3, least=5.0, most=45.0, rate=10.0, size=2000.0, threshold=800.0,
          load=1000.0, check=15.0, travel=45.0, minutes=40000.0, warmup=2000.0):
    """Cars arrive `arrival` a minute and want between `least` and `most`
    litres (uniformly), pumped at `rate` litres a minute. The tank holds
    `size` litres and starts full; every `check` minutes the manager calls
    the truck if less than `threshold` is left, and it brings `load` litres
    `travel` minutes later (threshold + load must fit into the tank, and
    `most` must not exceed the threshold: a car that wants more than is
    left while the manager sees enough would wait for ever).
    Outputs: `pump_wait` (mean wait for a pump), `busy` (mean busy pumps),
    `fuel` (mean litres in the tank), `dry` (share of the cars that waited
    for fuel), `fuel_wait` (their mean wait for fuel, 0 for most) and
    `trucks` (truck visits per 1000 minutes)."""
    rng = random.Random(seed)
    sim = Simulation()
    station = Facility(sim, pumps, name="pumps")
    tank = Tank(sim, size, size, name="tank")
    counts = {"dry": 0, "trucks": 0}

    def car(litres):
        yield station.seize()
        asked = sim.now
        yield tank.get(litres)
        if sim.now > asked:
            counts["dry"] += 1
        yield litres / rate
        station.release()

    def source():
        while True:
            yield rng.expovariate(arrival)
            sim.start(car(rng.uniform(least, most)))

    def manager():
        # The manager waits for the truck he called: he never calls two.
        while True:
            yield check
            if tank.amount < threshold:
                yield travel
                yield tank.put(load)
                counts["trucks"] += 1

    sim.start(source())
    sim.start(manager())
    sim.run(until=warmup)
    station.reset()
    tank.reset()
    counts.update(dry=0, trucks=0)
    sim.run(until=warmup + minutes)
    return {"pump_wait": station.wait.mean(), "busy": station.busy.mean(), "fuel": tank.contents.mean(),
            "dry": counts["dry"] / tank.get_wait.count, "fuel_wait": tank.get_wait.mean(),
            "trucks": 1000.0 * counts["trucks"] / minutes}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pumps", type=int, default=3, help="number of pumps (default 3)")
    parser.add_argument("--arrival", type=float, default=0.5, help="cars per minute (default 0.5)")
    parser.add_argument("--least", type=float, default=5.0, help="fewest litres a car wants (default 5)")
    parser.add_argument("--most", type=float, default=45.0, help="most litres a car wants (default 45)")
    parser.add_argument("--rate", type=float, default=10.0, help="litres pumped per minute (default 10)")
    parser.add_argument("--size", type=float, default=2000.0, help="litres the tank holds (default 2000)")
    parser.add_argument("--threshold", type=float, default=800.0,
                        help="litres below which the truck is called (default 800)")
    parser.add_argument("--load", type=float, default=1000.0, help="litres a truck brings (default 1000)")
    parser.add_argument("--check", type=float, default=15.0, help="minutes between looks at the tank (default 15)")
    parser.add_argument("--travel", type=float, default=45.0, help="minutes the truck takes to come (default 45)")
    parser.add_argument("--minutes", type=float, default=40000.0, help="minutes watched per run (default 40000)")
    theory.add_run_options(parser, customers=None, warmup=2000.0, unit="minutes")
    args = parser.parse_args(argv)
    if args.pumps < 1 or not 0 < args.least <= args.most <= args.threshold or not args.arrival > 0 \
            or not args.rate > 0 or not 0 < args.load <= args.size - args.threshold or not args.check > 0 \
            or not args.travel >= 0 or not args.minutes > 0 or not args.warmup >= 0 or args.replications < 2:
        parser.error("need at least 1 pump, 0 < least <= most <= threshold, positive rates, threshold + load within "
                     "the tank, a positive check interval, some minutes to watch and 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        print("Gas station with %d pumps, %g cars per minute wanting %g to %g litres, a tank of %g litres, "
              "a truck of %g litres called below %g: %d replications of %g minutes"
              % (args.pumps, args.arrival, args.least, args.most, args.size, args.load, args.threshold,
                 args.replications, args.minutes))
        runs = replicate(model, args.replications, args.seed, executor=executor, params=dict(
            arrival=args.arrival, pumps=args.pumps, least=args.least, most=args.most, rate=args.rate,
            size=args.size, threshold=args.threshold, load=args.load, check=args.check, travel=args.travel,
            minutes=args.minutes, warmup=args.warmup))
        theory.report(runs, "pump_wait", None, "mean wait for a pump")
        theory.report(runs, "busy", None, "mean busy pumps")
        theory.report(runs, "fuel", None, "mean litres in the tank")
        theory.report(runs, "dry", None, "share waiting for fuel")
        theory.report(runs, "fuel_wait", None, "mean wait for fuel")
        theory.report(runs, "trucks", None, "trucks per 1000 minutes")
        # Fuel is conserved: over a long run the trucks bring what the cars take.
        mean_litres = (args.least + args.most) / 2.0
        print("\n  fuel taken per 1000 minutes %.1f, trucks bring %.1f"
              % (1000.0 * args.arrival * mean_litres, runs.mean("trucks") * args.load))
    return 0


if __name__ == "__main__":
    sys.exit(main())
