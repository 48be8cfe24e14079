"""How exact vorm.ext's distribution functions are, measured against mpmath
at 50 significant digits; prints a Markdown table.

    python3 tools/accuracy.py [--points N]      (make accuracy)

Needs mpmath (Debian: python3-mpmath for /usr/bin/python3); the suite does
not. Each function is evaluated on a grid of N doubles per range, then again
on a finer grid around its three worst points, so the maxima are sharp.
Errors are measured against the exact value at the very double given.

- dnorm, pnorm, pt: relative error |f - exact| / |exact| and absolute error.
- qnorm, qt: the error of the returned x, (F(x) - p) / F'(x) with the exact
  distribution F (one Newton step, exact to second order): absolute, and
  relative to |x| where |x| >= 0.1 (at p = 0.5 the quantile is 0).
"""
from __future__ import print_function

import argparse
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

try:
    import mpmath
except ImportError:
    sys.exit("accuracy: needs mpmath (Debian: apt-get install python3-mpmath, for /usr/bin/python3)")
from mpmath import mp, mpf

from vorm import ext

mp.dps = 50
SMALLEST_NORMAL = 2.2250738585072014e-308


def exact_pnorm(x):
    return mpmath.erfc(-mpf(x) / mpmath.sqrt(2)) / 2


def exact_dnorm(x):
    return mpmath.npdf(mpf(x))


def exact_pt(x, df):
    x = mpf(x)
    tail = mpmath.betainc(mpf(df) / 2, mpf(1) / 2, 0, df / (df + x * x), regularized=True) / 2
    return tail if x < 0 else 1 - tail


def exact_dt(x, df):
    x = mpf(x)
    df = mpf(df)
    return mpmath.gamma((df + 1) / 2) / (mpmath.sqrt(df * mpmath.pi) * mpmath.gamma(df / 2)) * \
        (1 + x * x / df) ** (-(df + 1) / 2)


def value_errors(approx, exact):
    """(relative, absolute) error of a function value."""
    difference = abs(mpf(approx) - exact)
    return (difference / abs(exact) if exact != 0 else (mpf(0) if difference == 0 else mpf("inf"))), difference


def quantile_errors(x, p, cdf, density):
    """(relative, absolute) error of a returned quantile x for probability p;
    relative to |x| only where |x| >= 0.1: near 0 it means nothing."""
    difference = abs((cdf(x) - mpf(p)) / density(x))
    return (difference / abs(mpf(x)) if abs(x) >= 0.1 else mpf(0)), difference


def grid(low, high, count):
    step = (high - low) / (count - 1)
    return [low + i * step for i in range(count)]


# Arguments a grid misses and the code may treat apart (dt and pt keep x at
# least 1e-10 away from 0).
SPECIAL = (0.0, 1e-300, 1e-12, 1e-10, 2e-10, 1e-9, 1e-6, 0.5)


def measure(points, errors, low, high):
    """Maxima of errors(point) over [low, high]: ((relative, at), (absolute,
    at)), with a finer look around the three worst points of each kind."""
    values = grid(low, high, points)
    values += [x for special in SPECIAL for x in (special, -special) if low <= x <= high]
    found = [(point, errors(point)) for point in values]
    step = (high - low) / (points - 1)
    for index in (0, 1):
        worst = sorted(found, key=lambda item: item[1][index], reverse=True)[:3]
        for point, _ in worst:
            for fine in grid(max(low, point - step), min(high, point + step), 41):
                found.append((fine, errors(fine)))
    relative = max(found, key=lambda item: item[1][0])
    absolute = max(found, key=lambda item: item[1][1])
    return (relative[1][0], relative[0]), (absolute[1][1], absolute[0]), len(found)


def number(value):
    return "%.3g" % float(value)


def rows(points):
    """(function, range, points, relative, at, absolute, at) per measured range."""
    def pnorm_errors(x):
        return value_errors(ext.pnorm(x), exact_pnorm(x))

    def dnorm_errors(x):
        return value_errors(ext.dnorm(x), exact_dnorm(x))

    for low, high in ((-37.5, -30.0), (-30.0, -10.0), (-10.0, 0.0), (0.0, 10.0)):
        yield ("pnorm(x)", "x in [%g, %g]" % (low, high)) + measure(4 * points, pnorm_errors, low, high)
    for low, high in ((-37.0, -20.0), (-20.0, -8.0), (-8.0, 8.0)):
        yield ("dnorm(x)", "x in [%g, %g]" % (low, high)) + measure(points, dnorm_errors, low, high)

    def qnorm_errors(p):
        return quantile_errors(ext.qnorm(p), p, exact_pnorm, exact_dnorm)

    lower3, upper3 = float(exact_pnorm(-3.0)), float(exact_pnorm(3.0))
    for low, high, label in ((lower3, upper3, "p in [pnorm(-3), pnorm(3)]"), (1e-6, lower3, "p in [1e-6, pnorm(-3)]"),
                             (upper3, 1 - 1e-6, "p in [pnorm(3), 1 - 1e-6]")):
        yield ("qnorm(p)", label) + measure(points, qnorm_errors, low, high)
    for df in (1, 2, 3, 10, 30):
        def pt_errors(x, df=df):
            return value_errors(ext.pt(x, df), exact_pt(x, df))
        for low, high in ((-50.0, -1.0), (-1.0, 1.0), (1.0, 50.0)):
            yield ("pt(x, %d)" % df, "x in [%g, %g]" % (low, high)) + measure(points // 4, pt_errors, low, high)
    for df in (1, 2, 3, 10, 30):
        def qt_errors(p, df=df):
            return quantile_errors(ext.qt(p, df), p, lambda x: exact_pt(x, df), lambda x: exact_dt(x, df))
        yield ("qt(p, %d)" % df, "p in [0.001, 0.999]") + measure(points // 4, qt_errors, 0.001, 0.999)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=2000, help="grid points per range (default 2000)")
    options = parser.parse_args()
    started = time.time()
    print("vorm.ext %s against mpmath %s at %d digits, Python %s\n"
          % (os.path.relpath(ext.__file__, ROOT), mpmath.__version__, mp.dps, sys.version.split()[0]))
    print("| function | range | points | max relative error | at (x or p) | max absolute error | at (x or p) |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for function, where, (relative, relative_at), (absolute, absolute_at), count in rows(options.points):
        print("| `%s` | %s | %d | %s | %.17g | %s | %.17g |" % (function, where, count, number(relative), relative_at,
                                                             number(absolute), absolute_at))
        sys.stdout.flush()
    underflow = -37.5
    while ext.pnorm(underflow) > 0:
        underflow -= 0.01
    print("\nBelow x = -37.5 pnorm's exact value is under %.3g, where doubles are subnormal and lose relative "
          "precision; pnorm(x) returns 0 from x = %.2f down (exact there: %s)."
          % (SMALLEST_NORMAL, underflow, mpmath.nstr(exact_pnorm(underflow), 3)))
    print("For qnorm and qt the error is that of the returned x (relative where |x| >= 0.1). %.0f s."
          % (time.time() - started))


if __name__ == "__main__":
    main()
