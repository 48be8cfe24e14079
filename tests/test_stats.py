# Distribution functions of vorm.ext: dnorm, pnorm, qnorm, dt, pt, qt.
import ctypes
import math
import struct
import unittest

from vorm import ext
from tests.support import BIG

INF = float("inf")
NAN = float("nan")


def student_density(x, df):
    """The t density from the gamma function, independent of the series."""
    logc = math.lgamma((df + 1) / 2.0) - math.lgamma(df / 2.0) - 0.5 * math.log(df * math.pi)
    return math.exp(logc - (df + 1) / 2.0 * math.log1p(x * x / df))


class StatsCase(unittest.TestCase):
    def assertNan(self, value):
        self.assertTrue(math.isnan(value), value)

    def assertPositiveZero(self, value):
        self.assertEqual((value, math.copysign(1.0, value)), (0.0, 1.0))

    def assertRaisesMessage(self, exception, message, function, *args):
        with self.assertRaises(exception) as cm:
            function(*args)
        self.assertEqual(str(cm.exception), message)

    def assertDiverges(self, function, *args):
        self.assertRaisesMessage(RuntimeError, "divergence error", function, *args)


class NormalTest(StatsCase):
    def test_pnorm_and_dnorm(self):
        for x, p in ((0.0, 0.5), (-0.0, 0.5), (0, 0.5), (-2.5, 0.006209665325776132),
                     (-5.2, 9.964426316933467e-08), (8.3, 1.0), (-38.6, 0.0)):
            self.assertEqual(ext.pnorm(x), p, x)
        for x, p in ((1.0, 0.8413447460685), (-1.0, 0.1586552539315), (-3.0, 0.0013498980316301035)):
            self.assertAlmostEqual(ext.pnorm(x), p, places=12)
        self.assertGreater(ext.pnorm(-38.0), 0.0)
        self.assertEqual((ext.dnorm(0.0), ext.dnorm(INF), ext.dnorm(-INF)), (0.3989422804014327, 0.0, 0.0))
        self.assertAlmostEqual(ext.dnorm(-1.5), 0.12951759566589174, places=15)
        for x in (INF, -INF, NAN):
            self.assertNan(ext.pnorm(x))
        for nan in (abs(NAN), -abs(NAN)):  # comes back with its sign flipped
            self.assertEqual(math.copysign(1.0, ext.pnorm(nan)), -math.copysign(1.0, nan))
        self.assertNan(ext.dnorm(NAN))

    def test_qnorm_exact_results(self):
        # Ends by the relative width test, the absolute width test and the
        # function value test respectively.
        # The last one stops at the 24th midpoint only because the relative
        # width test is measured against the upper end, not the midpoint.
        for p, x in ((0.975, 1.9599639177322388), (0.3, -0.5244007706642151), (1e-6, -4.7534332275390625),
                     (0.999999, 4.7534332275390625), (0.9524342790372584, 1.6689292192459106)):
            self.assertEqual(ext.qnorm(p), x, p)
        # The first midpoint is the root; a NaN value counts as converged.
        self.assertPositiveZero(ext.qnorm(0.5))
        self.assertPositiveZero(ext.qnorm(NAN))

    def test_qnorm_bracket_ends(self):
        self.assertEqual((ext.qnorm(ext.pnorm(-7.0)), ext.qnorm(ext.pnorm(7.0)), ext.qnorm(2e-12)),
                         (-7.0, 7.0, -6.5625))
        self.assertDiverges(ext.qnorm, ext.pnorm(-7.0) * 0.99)
        for p in (1e-13, 0.0, 1.0, -0.1, 1.5, INF, -INF):
            self.assertDiverges(ext.qnorm, p)



class StudentTTest(StatsCase):
    def test_density_at_zero_uses_tiny_x(self):
        self.assertEqual([ext.dt(0, df) for df in (1, 2, 4)], [0.3183098861837907, 0.35355339059327373, 0.375])
        for x, df, p in ((0, 1, 0.500000000031831), (0, 3, 0.500000000036755), (-1e-300, 3, 0.499999999963245)):
            self.assertAlmostEqual(ext.pt(x, df), p, places=15)
        self.assertEqual(ext.pt(-0.0, 3), ext.pt(0, 3))

    def test_pt_values(self):
        self.assertAlmostEqual(ext.pt(-3, 1), 0.1024163823496, places=12)
        for x, df, p in ((-0.5, 2, 0.33333333333333337), (10, 30, 0.9999999999771239),
                         (-2.14, 5, 0.04265867225079489), (2.85, 12, 0.9926886125186143)):
            self.assertEqual(ext.pt(x, df), p, (x, df))
        self.assertEqual(ext.dt(-2.14, 5), 0.05397613016499413)
        for x in (-7.5, -1.0, 0.25, 3.0, 40.0):
            self.assertAlmostEqual(ext.pt(x, 1), 0.5 + math.atan(x) / math.pi, places=15)
            self.assertAlmostEqual(ext.pt(x, 2), 0.5 + x / (2 * math.sqrt(2 + x * x)), places=15)

    def test_density_against_gamma_formula(self):
        for df in (1, 2, 3, 4, 7, 10, 25, 30, 101):
            for x in (-4.0, -0.3, 0.7, 2.5, 12.0):
                exact = student_density(x, df)
                self.assertLess(abs(ext.dt(x, df) - exact), 1e-12 * exact, (x, df))

    def test_huge_and_non_finite_x(self):
        self.assertEqual((ext.pt(1.3e154, 3), ext.pt(-1.3e154, 3), ext.dt(1.3e154, 3)), (1.0, 0.0, 0.0))
        for x in (1.4e154, -1.4e154, INF, -INF, NAN):
            self.assertNan(ext.dt(x, 3))
            self.assertNan(ext.pt(x, 4))

    def test_non_positive_df_in_dt_and_pt(self):
        for x in (-5.0, -1e-300, 0.0, -0.0, 2.0):
            self.assertEqual(ext.dt(x, 0), 0.0)
            self.assertEqual(ext.pt(x, 0), 0.0 if x < 0 else 1.0)
        # Negative df are not refused; odd ones (by truncating %) give NaN.
        for value in (ext.pt(0.5, -3), ext.pt(3.0, -3), ext.dt(1.0, -2147483648)):
            self.assertNan(value)
        self.assertGreater(ext.pt(3.0, -4), 1.0)

    def test_qt_closed_forms(self):
        self.assertAlmostEqual(ext.qt(0.975, 1), 12.7062047, places=6)
        self.assertEqual((round(ext.qt(0.0, 1) / 1e16, 3), round(ext.qt(1.0, 1) / 1e16, 3)), (-1.633, 1.633))
        for df in (1, 2):
            self.assertPositiveZero(ext.qt(0.5, df))
        self.assertEqual([ext.qt(p, 2) for p in (0.9, 0.1, 0.0, 1.0)],
                         [1.8856180831641274, -1.8856180831641274, -INF, INF])
        self.assertNan(ext.qt(1.5, 2))
        self.assertNan(ext.qt(-0.5, 2))

    def test_qt_newton(self):
        # Reference quantiles computed to 15 digits from the incomplete beta function.
        for p, df, x in ((0.975, 10, 2.22813885198627), (0.975, 3, 3.18244630528371),
                         (0.95, 30, 1.69726088659396), (0.3, 4, -0.568649063049705),
                         (0.995, 5, 4.03214298355523), (0.05, 7, -1.89457860509001)):
            self.assertLess(abs(ext.qt(p, df) - x), 1e-9, (p, df))
        for df in (3, 4, 5, 10, 100, 1000):
            self.assertLess(abs(ext.qt(0.5, df)), 3e-10)
        self.assertAlmostEqual(ext.qt(1e-6, 3), -103.29947, places=4)
        self.assertAlmostEqual(ext.qt(0.0, 30), -9.69, places=2)
        self.assertNan(ext.qt(NAN, 5))

    def test_qt_divergence(self):
        for p, df in ((0.0, 5), (1.0, 5), (1.5, 5), (-0.5, 10), (1e-9, 3), (1e-8, 3)):
            self.assertDiverges(ext.qt, p, df)

    def test_qt_non_positive_df_follows_newton(self):
        # df = 0: the start value is NaN, and Newton returns a NaN evaluation
        # as converged. Negative df: the series give NaN at the start value,
        # so Newton returns the start value itself.
        for p in (0.0, 0.5, 0.975, 1.5):
            self.assertNan(ext.qt(p, 0))
        for p, df in ((0.5, -1), (0.975, -2), (0.0, -3), (1.5, -10), (0.1, -2147483648)):
            z = ext.pnorm(p)
            shrink = 1 - 1 / (4.0 * df)
            self.assertEqual(ext.qt(p, df), z / math.sqrt(shrink * shrink - z * z / (2.0 * df)), (p, df))



class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class WithFloat(object):
    def __float__(self):
        return 0.25


class WithIndex(object):
    def __index__(self):
        return 3


class FailingFloat(object):
    def __float__(self):
        raise ZeroDivisionError("no float here")


def parse_tuple(format, args):
    """PyArg_ParseTuple itself on the tuple args: the values it converts, or
    the exception it raises."""
    values = [ctypes.c_double() if code == "d" else ctypes.c_int() for code in format]
    ctypes.pythonapi.PyArg_ParseTuple(ctypes.py_object(args), format.encode("ascii"), *map(ctypes.byref, values))
    return [value.value for value in values]


def outcome(function, *args):
    try:
        return "result", struct.pack("<d", function(*args))
    except Exception as error:  # the type and message are what is compared
        return type(error), str(error)


class ArgumentTest(unittest.TestCase):
    """Whatever the calling convention, arguments are taken exactly as
    PyArg_ParseTuple takes them: same values, same errors and messages."""

    ODD = [(), (None,), ("1",), (FloatSubclass(0.3),), (IntSubclass(2),), (True,), (WithFloat(),),
           (WithIndex(),), (FailingFloat(),), (10 ** 400,), (BIG,), (2 ** 53 + 1,), (-0.0,), (float("nan"),)]

    def assertParsedAlike(self, function, format, args):
        try:
            converted = parse_tuple(format, args)
        except Exception as error:
            expected = type(error), str(error)
        else:
            expected = outcome(function, *converted)
        self.assertEqual(outcome(function, *args), expected, (function.__name__, args))

    def test_one_number(self):
        for function in (ext.dnorm, ext.pnorm, ext.qnorm):
            for args in self.ODD + [(1.0, 2.0), (0.5, 0.5, 0.5)]:
                self.assertParsedAlike(function, "d", args)

    def test_number_and_df(self):
        dfs = [3, IntSubclass(3), True, WithIndex(), 3.0, "3", None, 2 ** 31, -2 ** 31 - 1, BIG, -2 ** 31]
        for function in (ext.dt, ext.pt, ext.qt):
            for args in [x + (3,) for x in self.ODD if x] + [(0.5, df) for df in dfs] + [(0.5,), (0.5, 3, 1)]:
                self.assertParsedAlike(function, "di", args)

    def test_keywords_are_refused_before_anything_else(self):
        for function, args in ((ext.pnorm, ()), (ext.qnorm, (0.5,)), (ext.dt, ("x", 3))):
            with self.assertRaises(TypeError) as cm:
                function(*args, **{"x": 1.0})
            self.assertEqual(str(cm.exception), "%s() takes no keyword arguments" % function.__name__)
        self.assertEqual((ext.pnorm(0.5, **{}), ext.dt(0.5, 3, **{})), (ext.pnorm(0.5), ext.dt(0.5, 3)))


if __name__ == "__main__":
    unittest.main()
