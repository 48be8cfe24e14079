"""A delivery against a deadline: each order sends a courier and waits for
the first of two things, the courier's arrival or the deadline; when the
deadline comes first, the order is cancelled and the courier called back.
The share delivered in time is checked against the exponential race.

    PYTHONPATH=. python examples/race.py --delivery 1.0 --deadline 0.5 --fixed 2.0

The order waits with `which, value = yield first(wait(courier), hold(deadline))`:
the branch that loses is withdrawn. A cancelled courier gets
`courier.interrupt("cancelled")`, which raises Interrupt inside it with the
time its trip still had to run (`left`). Run 1 draws each deadline from an
exponential distribution, run 2 gives every order the same fixed deadline.
"""
from __future__ import division, print_function

import argparse
import random
import sys

from vorm import Interrupt, Simulation, Tally, first, hold, parallel, replicate, wait

import theory


def model(seed, arrival=1.0, delivery=1.0, deadline=0.5, fixed=None, customers=20000, warmup=0):
    """Orders arrive `arrival` a minute; a courier's trip is exponential of
    rate `delivery`, the deadline exponential of rate `deadline`, or `fixed`
    minutes when that is given. Outputs: `on_time` (share delivered before
    the deadline), `decided` (mean time from the order to the delivery or
    the deadline) and `left` (mean time a cancelled courier still had to
    go)."""
    rng = random.Random(seed)
    sim = Simulation()
    decided = Tally("decided", sim)
    left = Tally("left", sim)
    on_time = [0]

    def courier(trip):
        try:
            yield trip
        except Interrupt as cancelled:
            left.add(cancelled.left)

    def order(trip, patience):
        placed = sim.now
        sent = sim.start(courier(trip))
        which, _ = yield first(wait(sent), hold(patience))
        decided.add(sim.now - placed)
        if which == 0:
            on_time[0] += 1
        else:
            sent.interrupt("cancelled")

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                for tally in (decided, left):
                    tally.reset()
                on_time[0] = 0
            yield rng.expovariate(arrival)
            trip = rng.expovariate(delivery)
            sim.start(order(trip, fixed if fixed is not None else rng.expovariate(deadline)))

    sim.start(source())
    sim.run()
    return {"on_time": on_time[0] / decided.count, "decided": decided.mean(), "left": left.mean()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arrival", type=float, default=1.0, help="orders per minute (default 1.0)")
    parser.add_argument("--delivery", type=float, default=1.0, help="rate a of a courier's trip (default 1.0)")
    parser.add_argument("--deadline", type=float, default=0.5, help="rate b of the deadline in run 1 (default 0.5)")
    parser.add_argument("--fixed", type=float, help="the deadline of run 2 in minutes (default 1 / b, the mean of run 1)")
    theory.add_run_options(parser, warmup=0, unit="orders")
    args = parser.parse_args(argv)
    fixed = args.fixed if args.fixed is not None else 1.0 / args.deadline if args.deadline > 0 else 0
    if not args.arrival > 0 or not args.delivery > 0 or not args.deadline > 0 or not fixed > 0 \
            or args.warmup < 0 or args.replications < 2:
        parser.error("need positive rates, a positive fixed deadline and at least 2 replications")

    with parallel.executor_for(args, parser=parser) as executor:
        print("Deliveries at rate %g against deadlines: %d replications of %d orders"
              % (args.delivery, args.replications, args.customers))
        params = dict(arrival=args.arrival, delivery=args.delivery, deadline=args.deadline,
                      customers=args.customers, warmup=args.warmup)
        checks = []
        for label, race in (("exponential deadline, rate %g" % args.deadline, {}),
                            ("fixed deadline of %g minutes" % fixed, {"fixed": fixed})):
            print("\n" + label)
            expected = theory.deadline_race(args.delivery, args.deadline, **race)
            runs = replicate(model, args.replications, args.seed, dict(params, **race), executor=executor)
            checks.append(theory.report(runs, "on_time", expected["on_time"], "share delivered in time"))
            checks.append(theory.report(runs, "decided", expected["decided"], "mean time to the outcome"))
            checks.append(theory.report(runs, "left", expected["left"], "trip left when cancelled"))
        print("\n" + theory.verdict(checks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
