"""One run of the M/M/1 of examples/mm1.py with its monitors keeping their
time series: writes them as CSV and, when matplotlib is importable, draws
the line length over time and the histogram of the waits as a PNG.

    PYTHONPATH=. python examples/plot.py --out build/mm1

writes build/mm1-length.csv, build/mm1-wait.csv and build/mm1.png. Debian's
python3-matplotlib provides matplotlib for the system python3; for another
interpreter, `python -m pip install matplotlib`.
"""
from __future__ import division, print_function

import argparse
import math
import os
import sys

import mm1


def draw(server, arrival, service, path):
    """Draws the line length (a step plot of the Level's changes) and the
    histogram of the waits with the M/M/1 wait density over it."""
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    from matplotlib import pyplot

    figure, (top, bottom) = pyplot.subplots(2, 1, figsize=(9, 7))
    times, lengths = zip(*server.length.series)
    top.step(times, lengths, where="post", linewidth=0.6)
    top.set_xlabel("simulated time")
    top.set_ylabel("customers in line")
    top.set_title("M/M/1, arrival rate %g, service rate %g" % (arrival, service))

    waits = [wait for _, wait in server.wait.series]
    top_wait = max(waits)
    bottom.hist(waits, bins=60, range=(0, top_wait), density=True, alpha=0.6, label="simulated waits (first bar: no wait)")
    # Theory: no wait with probability 1 - rho, else an exponential wait of
    # rate mu - lambda, so the density above 0 is rho (mu - lambda) e^-(mu - lambda) w.
    rho, rate = arrival / service, service - arrival
    xs = [top_wait * i / 200 for i in range(1, 201)]
    bottom.plot(xs, [rho * rate * math.exp(-rate * x) for x in xs], label="theory (waits above 0)")
    bottom.set_xlabel("wait in line")
    bottom.set_ylabel("density")
    bottom.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arrival", type=float, default=0.7, help="arrival rate lambda (default 0.7)")
    parser.add_argument("--service", type=float, default=1.0, help="service rate mu (default 1.0)")
    parser.add_argument("--customers", type=int, default=2000, help="customers measured (default 2000)")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the run (default 2026)")
    parser.add_argument("--out", default="mm1", help="prefix of the files written (default mm1)")
    args = parser.parse_args(argv)
    if not 0 < args.arrival < args.service or args.customers < 1:
        parser.error("need 0 < arrival < service and at least 1 customer")

    server, _ = mm1.simulate(args.seed, args.arrival, args.service, args.customers, warmup=0, series=True)
    directory = os.path.dirname(args.out)
    if directory and not os.path.isdir(directory):
        os.makedirs(directory)
    # Full paths: the files are to be opened from wherever the run started.
    for monitor, suffix, what in ((server.length, "-length.csv", "line length over time"),
                                  (server.wait, "-wait.csv", "every customer's wait")):
        monitor.write_csv(args.out + suffix)
        print("wrote %s (%s, %d rows)" % (os.path.abspath(args.out + suffix), what, len(monitor.series)))
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("matplotlib is not importable by %s: no PNG drawn. Install it with `apt-get install "
              "python3-matplotlib` (Debian, for /usr/bin/python3) or `%s -m pip install matplotlib`."
              % (sys.executable, sys.executable))
        return 0
    draw(server, args.arrival, args.service, args.out + ".png")
    print("wrote %s (the plot)" % os.path.abspath(args.out + ".png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
