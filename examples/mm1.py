"""A single-server queue (M/M/1) simulated in process-interaction style on
vorm.ext, with several independent replications and 95 % confidence
intervals, checked against queueing theory.

    make demo                                  # the defaults below
    PYTHONPATH=. python examples/mm1.py --arrival 0.9 --replications 20

Run 1: customers wait first-come first-served in a RequestListFIFO.
Run 2: half the customers are urgent; everybody waits in a RequestBinaryHeap,
       urgent ones first (non-preemptive priority).
The event list of both runs is a TimeRequestBinaryHeap of TimeRequests.
"""
from __future__ import division, print_function

import argparse
import math
import random
import sys
import time

from vorm.ext import (LinkedRequest, PriorityRequest, RequestBinaryHeap, RequestListFIFO, TimeRequest,
                      TimeRequestBinaryHeap, qt)


class Simulation(object):
    """The event loop: processes are generators that yield commands."""

    def __init__(self):
        self.now = 0.0
        self.events = TimeRequestBinaryHeap()

    def activate(self, process, delay=0.0, wake=None):
        # A wake-up request is reused for the next hold of the same process.
        if wake is None:
            wake = TimeRequest(val=process)
        wake.futureTime = self.now + delay
        self.events.push(wake)

    def run(self):
        events = self.events
        while not events.empty():
            wake = events.pop()
            self.now = wake.futureTime
            wake.firedTime = self.now
            try:
                command = next(wake.val)
            except StopIteration:
                continue
            command(self, wake)


def hold(delay):
    return lambda sim, wake: sim.activate(wake.val, delay, wake)


class Server(object):
    """One server with a waiting line; the line decides the service order."""

    def __init__(self, line):
        self.line, self.busy = line, False

    def seize(self, priority=0.0):
        def command(sim, wake):
            if not self.busy:
                self.busy = True
                sim.activate(wake.val, 0.0, wake)
            elif isinstance(self.line, RequestBinaryHeap):
                self.line.push(PriorityRequest(priority, val=wake, firedTime=sim.now))
            else:
                self.line.push(LinkedRequest(val=wake, firedTime=sim.now))
        return command

    def release(self):
        def command(sim, wake):
            if self.line.empty():
                self.busy = False
            else:
                sim.activate(self.line.pop().val.val)  # the server passes straight on
            sim.activate(wake.val, 0.0, wake)
        return command


def replicate(seed, args, prioritised):
    """One replication: returns the mean wait of all, urgent and normal customers."""
    rng = random.Random(seed)
    sim = Simulation()
    server = Server(RequestBinaryHeap() if prioritised else RequestListFIFO())
    waits = {1.0: [], 0.0: []}

    def customer(number, priority):
        arrived = sim.now
        yield server.seize(priority)
        if number >= args.warmup:
            waits[priority].append(sim.now - arrived)
        yield hold(rng.expovariate(args.service))
        yield server.release()

    def source():
        for number in range(args.customers + args.warmup):
            yield hold(rng.expovariate(args.arrival))
            urgent = prioritised and rng.random() < 0.5
            sim.activate(customer(number, 1.0 if urgent else 0.0))

    sim.activate(source())
    sim.run()
    everyone = waits[1.0] + waits[0.0]
    return [sum(w) / len(w) if w else float("nan") for w in (everyone, waits[1.0], waits[0.0])]


def interval(values):
    """Mean and half-width of the 95 % confidence interval (Student t)."""
    n = len(values)
    mean = sum(values) / n
    variance = sum((v - mean) ** 2 for v in values) / (n - 1)
    return mean, qt(0.975, n - 1) * math.sqrt(variance / n)


def report(label, values, theory):
    mean, half = interval(values)
    covered = abs(mean - theory) <= half
    print("  %-24s %8.4f +/- %.4f   theory %8.4f   %s" % (label, mean, half, theory,
                                                          "covered" if covered else "NOT covered"))
    return covered


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arrival", type=float, default=0.7, help="arrival rate lambda (default 0.7)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu (default 1.0)")
    parser.add_argument("--replications", type=int, default=10, help="independent runs (default 10)")
    parser.add_argument("--customers", type=int, default=20000, help="customers measured per run (default 20000)")
    parser.add_argument("--warmup", type=int, default=2000, help="customers discarded first (default 2000)")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the first replication (default 2026)")
    args = parser.parse_args(argv)
    if not 0 < args.arrival < args.service or args.replications < 2:
        parser.error("need 0 < arrival < service and at least 2 replications")

    lam, mu = args.arrival, args.service
    rho = lam / mu
    fifo_wait = rho / (mu - lam)
    # Non-preemptive priorities, equal exponential service: residual work W0 = lambda / mu^2.
    residual, rho_urgent = lam / mu ** 2, rho / 2
    urgent_wait = residual / (1 - rho_urgent)
    normal_wait = residual / ((1 - rho_urgent) * (1 - rho))
    print("M/M/1 with lambda=%g, mu=%g (rho=%.3f): %d replications of %d customers" %
          (lam, mu, rho, args.replications, args.customers))

    all_covered = True
    for prioritised in (False, True):
        title = "priority line (RequestBinaryHeap)" if prioritised else "FIFO line (RequestListFIFO)"
        print("\n%s" % title)
        started = time.time()
        results = []
        for replication in range(args.replications):
            results.append(replicate(args.seed + replication, args, prioritised))
            print("  replication %2d/%d: mean wait %.4f" % (replication + 1, args.replications, results[-1][0]))
            sys.stdout.flush()
        print("  %d replications in %.1f s" % (args.replications, time.time() - started))
        all_covered &= report("mean wait in line", [r[0] for r in results], fifo_wait)
        if prioritised:
            all_covered &= report("  urgent customers", [r[1] for r in results], urgent_wait)
            all_covered &= report("  normal customers", [r[2] for r in results], normal_wait)
    print("\n%s" % ("Every interval covers the queueing-theory value." if all_covered else
                    "Some interval misses the theory value (expected about 1 time in 20)."))
    return 0


if __name__ == "__main__":
    sys.exit(main())
