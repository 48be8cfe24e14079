"""The distribution functions of vorm.ext written out in plain Python with
math: the competitor that a package without the extension would use, and a
cross-check that the benchmark times equivalent work.
"""
from __future__ import division

import math

ERFC_WEIGHTS = (0.2963168851992274, 0.18158112513463706, 0.06818664514249395, 0.01569075431619667,
                0.0022129011668151756, 0.00019139581309874287, 9.710132840105517e-06, 1.6664244717430776e-07)
ERFC_NODES = (0.061215864449553875, 0.5509427800560021, 1.530396620587704, 2.9995795231130065,
              4.958677771282467, 7.414712510993354, 10.476510435654523, 14.845555734559795)
INVERSE_SQRT2 = 0.7071067811865476
TWO_PI = 6.283185307179586
PI = 3.141592653589793


def erfc_approx(x, exp=math.exp):
    s = x * x
    pole = 2.0 / (exp(x * 12.697489996511568) + 1.0) if x < 6.103997330986882 else 0.0
    total = 0.0
    for a, b in zip(ERFC_WEIGHTS, ERFC_NODES):
        total += a / (s + b)
    return total * (exp(-s) * x) + pole


def pnorm(x):
    if x >= 0:
        return 1.0 - erfc_approx(x * INVERSE_SQRT2) * 0.5
    return erfc_approx(x * -INVERSE_SQRT2) * 0.5


def dnorm(x, exp=math.exp, sqrt=math.sqrt):
    return exp((x * -0.5) * x) / sqrt(TWO_PI)


def bisect(f, a, b, tolx, tolf, maxit):
    fa, fb = f(a), f(b)
    if fa * fb > 0:
        return None
    if fa * fb == 0:
        return a if fa == 0 else b
    status = 0
    while True:
        status += 1
        m = (a + b) * 0.5
        fm = f(m)
        if not abs(fm) > tolf:
            return m
        if status > maxit:
            return None
        width = abs(a - b)
        if not width > tolx or not width > abs(b) * tolx:
            return m
        if fm * fa < 0:
            b = m
        else:
            a, fa = m, fm


def qnorm(p):
    x = bisect(lambda x: p - pnorm(x), -7.0, 7.0, 1e-6, 1e-10, 100)
    if x is None:
        raise RuntimeError("divergence error")
    return x


def _t_prepare(x, df):
    sign = -1.0 if x < 0 else 1.0
    if abs(x) < 1e-10:
        x = sign * 1e-10
    square = x * x
    return sign, x, square / (df + square)


def dt(x, df, sqrt=math.sqrt):
    sign, x, w = _t_prepare(x, df)
    cos2 = 1 - w
    if df % 2 == 0:
        term, j = sqrt(w) * cos2 * 0.5, 2
    else:
        term, j = sqrt(cos2 * w) / PI, 1
    while j <= df - 2:
        term = term * (((j + 1.0) / j) * cos2)
        j += 2
    return term / abs(x)


def pt(x, df, sqrt=math.sqrt, atan2=math.atan2):
    sign, x, w = _t_prepare(x, df)
    cos2 = 1 - w
    if df % 2 == 0:
        total = sqrt(w)
        term, j = total * cos2 * 0.5, 2
    else:
        term = sqrt(cos2 * w) / PI
        total = 1.0 - atan2(sqrt(cos2), sqrt(w)) * 2.0 / PI
        j = 1
    while j <= df - 2:
        total = total + term * 2.0 / j
        term = term * (((j + 1.0) / j) * cos2)
        j += 2
    return (sign * 0.5) * total + 0.5


def qt(p, df):
    if df == 1:
        return math.tan((p - 0.5) * PI)
    if df == 2:
        a = 1 - 2 * p
        magnitude = math.sqrt(a * a * 2 / (1 - a * a))
        return -magnitude if p < 0.5 else magnitude
    z = pnorm(p)
    shrink = 1 - 1 / (4.0 * df)
    x = z / math.sqrt(shrink * shrink - z * z / (2.0 * df))
    status = 0
    while True:
        status += 1
        fx = p - pt(x, df)
        if not abs(fx) > 1e-10:
            return x
        slope = -dt(x, df)
        if status > 100 or not abs(slope) > 1e-10:
            raise RuntimeError("divergence error")
        following = x - fx / slope
        step = abs(following - x)
        if not step > 1e-6 or not step > abs(following) * 1e-6:
            return following
        x = following
