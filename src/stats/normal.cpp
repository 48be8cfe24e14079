// dnorm, pnorm and qnorm.
#include "normal.h"

#include <cmath>

// erfc(x) ~ x e^(-x^2) sum a_k / (x^2 + b_k) + a pole term. The sum is a
// trapezoidal rule of step h ~ 0.4948 (b_k near ((k - 1/2) h)^2) with nodes
// and weights tuned; the pole term 2 / (e^(2 pi x / h) + 1) repairs the rule
// near x = 0.
static const double erfcWeights[8] = {
    0.2963168851992274,    0.18158112513463706,    0.06818664514249395,   0.01569075431619667,
    0.0022129011668151756, 0.00019139581309874287, 9.710132840105517e-06, 1.6664244717430776e-07,
};
static const double erfcNodes[8] = {
    0.061215864449553875, 0.5509427800560021, 1.530396620587704,  2.9995795231130065,
    4.958677771282467,    7.414712510993354,  10.476510435654523, 14.845555734559795,
};

// Past this point the pole term is below the rounding error of the result,
// and skipping it keeps exp away from overflow.
static const double erfcPoleCutoff = 6.103997330986882;
static const double erfcPoleScale = 12.697489996511568;

static const double inverseSqrt2 = 0.7071067811865476;
static const double twoPi = 6.283185307179586;

// Bisection bracket and tolerances of qnorm. Phi(-7) and Phi(7) are about
// 1.28e-12 from 0 and 1, which bounds the p that qnorm accepts.
static const double qnormLower = -7.0;
static const double qnormUpper = 7.0;
static const double qnormTolX = 1e-6;
static const double qnormTolF = 1e-10;
static const int32_t qnormMaxIt = 100;

// Complementary error function for every real x; relative error a few units
// of 1e-15 over [-6, 8].
static inline double erfcApprox(double x)
{
    double s = x * x;
    double pole = 0.0;
    if (x < erfcPoleCutoff)
        pole = 2.0 / (std::exp(x * erfcPoleScale) + 1.0);
    double sum = 0.0;
    for (int k = 0; k < 8; k++)
        sum += erfcWeights[k] / (s + erfcNodes[k]);
    return sum * (std::exp(-s) * x) + pole;
}

// Each half takes erfc of a non-negative argument, where it does not cancel.
// The half is chosen by indexing rather than by a branch: the sign of x is a
// coin toss in typical use, and a mispredicted branch costs more than all
// the arithmetic after erfc. The lower half is 0 + 1 * e/2 and the upper
// 1 + -1 * e/2, bit for bit e/2 and 1 - e/2 (e/2 is never -0). Which of
// its NaN operands an operation passes on is the compiler's choice, so a
// NaN's result is fixed here: quieted with its sign flipped, as the
// branching form of this function has always returned it.
double normalCdf(double x)
{
    static const double scale[2] = {-inverseSqrt2, inverseSqrt2};
    static const double base[2] = {0.0, 1.0};
    static const double sign[2] = {1.0, -1.0};
    if (x != x)
        return -(x + 0.0);
    int upper = x >= 0;
    double half = erfcApprox(x * scale[upper]) * 0.5;
    return base[upper] + sign[upper] * half;
}

double normalBisection::evaluate(double x) const { return p - normalCdf(x); }

static double normalDensity(double x) { return std::exp((x * -0.5) * x) / std::sqrt(twoPi); }

static PyObject *dnorm(const CompatArgs &args)
{
    double x = 0.0;
    if (!statsParseDouble(args, "dnorm", &x))
        return NULL;
    return PyFloat_FromDouble(normalDensity(x));
}

static PyObject *pnorm(const CompatArgs &args)
{
    double x = 0.0;
    if (!statsParseDouble(args, "pnorm", &x))
        return NULL;
    return PyFloat_FromDouble(normalCdf(x));
}

static PyObject *qnorm(const CompatArgs &args)
{
    double p = 0.0;
    if (!statsParseDouble(args, "qnorm", &p))
        return NULL;
    normalBisection quantile(p);
    int32_t status = 0;
    double x = quantile.solve(qnormLower, qnormUpper, qnormTolX, qnormTolF, qnormMaxIt, status);
    if (status < 0) {
        PyErr_SetString(PyExc_RuntimeError, "divergence error");
        return NULL;
    }
    return PyFloat_FromDouble(x);
}

const CompatArgsFunction statsDnorm = compatArgsEntry<dnorm>;
const CompatArgsFunction statsPnorm = compatArgsEntry<pnorm>;
const CompatArgsFunction statsQnorm = compatArgsEntry<qnorm>;
