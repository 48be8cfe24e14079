// dt, pt and qt.
#include "studentt.h"

#include <cmath>

#include "normal.h"

static const double pi = 3.141592653589793;

// Newton tolerances of qt.
static const double qtTolX = 1e-6;
static const double qtTolF = 1e-10;
static const int32_t qtMaxIt = 100;

// What the density and the distribution function share. With
// theta = arctan(|x| / sqrt(df)), w is sin^2 theta and 1 - w is cos^2 theta.
struct tArgument {
    double sign; // +1.0 for 0.0, -0.0 and NaN
    double x;    // kept at least 1e-10 away from zero: the density divides by it
    double w;
    bool even; // truncating %, so a negative odd df counts as odd
};

static tArgument tPrepare(double x, int32_t df)
{
    tArgument arg;
    arg.sign = x < 0 ? -1.0 : 1.0;
    arg.x = std::fabs(x) < 1e-10 ? arg.sign * 1e-10 : x;
    double square = arg.x * arg.x;
    arg.w = square / (df + square);
    arg.even = df % 2 == 0;
    return arg;
}

// j runs k, k + 2, ... up to df - 2; 64 bits keep df - 2 and j + 2 from
// overflowing at the ends of the int32 range.
static inline bool tSeriesGoesOn(int64_t j, int32_t df) { return j <= static_cast<int64_t>(df) - 2; }

double tDensity(double x, int32_t df)
{
    tArgument arg = tPrepare(x, df);
    double cos2 = 1 - arg.w;
    double term;
    int64_t j;
    if (arg.even) {
        term = std::sqrt(arg.w) * cos2 * 0.5;
        j = 2;
    } else {
        term = std::sqrt(cos2 * arg.w) / pi;
        j = 1;
    }
    for (; tSeriesGoesOn(j, df); j += 2)
        term = term * (((j + 1.0) / j) * cos2);
    return term / std::fabs(arg.x);
}

// sum is P(|T| <= |x|); folding the sign back in gives the distribution
// function without evaluating any gamma function.
double tCdf(double x, int32_t df)
{
    tArgument arg = tPrepare(x, df);
    double cos2 = 1 - arg.w;
    double term, sum;
    int64_t j;
    if (arg.even) {
        sum = std::sqrt(arg.w);
        term = sum * cos2 * 0.5;
        j = 2;
    } else {
        term = std::sqrt(cos2 * arg.w) / pi;
        sum = 1.0 - std::atan2(std::sqrt(cos2), std::sqrt(arg.w)) * 2.0 / pi;
        j = 1;
    }
    for (; tSeriesGoesOn(j, df); j += 2) {
        sum = sum + term * 2.0 / j;
        term = term * (((j + 1.0) / j) * cos2);
    }
    return (arg.sign * 0.5) * sum + 0.5;
}

double tNewton::evaluate(double x) const { return p - tCdf(x, df); }

double tNewton::derivative(double x) const { return -tDensity(x, df); }

// df = 2 in closed form; a NaN p falls on the positive side and stays NaN.
static double tQuantileTwo(double p)
{
    double a = 1 - 2 * p;
    double magnitude = std::sqrt(a * a * 2 / (1 - a * a));
    return p < 0.5 ? -magnitude : magnitude;
}

// The start value comes from Phi at p itself, not from the normal quantile
// of p, so it always lies between about 0.5 and 1.0 and the lower tail is
// reached by walking down from the centre.
static double tQuantileNewton(double p, int32_t df, int32_t &status)
{
    double z = normalCdf(p);
    double shrink = 1 - 1 / (4.0 * df);
    double b = shrink * shrink - z * z / (2.0 * df);
    tNewton quantile(p, df);
    return quantile.solve(z / std::sqrt(b), qtTolX, qtTolF, qtMaxIt, status);
}

static PyObject *dt(const CompatArgs &args)
{
    double x = 0.0;
    int df = 0;
    if (!statsParseDoubleInt(args, "dt", &x, &df))
        return NULL;
    return PyFloat_FromDouble(tDensity(x, df));
}

static PyObject *pt(const CompatArgs &args)
{
    double x = 0.0;
    int df = 0;
    if (!statsParseDoubleInt(args, "pt", &x, &df))
        return NULL;
    return PyFloat_FromDouble(tCdf(x, df));
}

// Every df other than 1 and 2 takes the Newton route, df <= 0 included: there
// the start value or its first evaluation is NaN, which Newton returns as it
// returns any NaN, so such df give no quantile but raise nothing of their own.
static PyObject *qt(const CompatArgs &args)
{
    double p = 0.0;
    int df = 0;
    if (!statsParseDoubleInt(args, "qt", &p, &df))
        return NULL;
    if (df == 1)
        return PyFloat_FromDouble(std::tan((p - 0.5) * pi));
    if (df == 2)
        return PyFloat_FromDouble(tQuantileTwo(p));
    int32_t status = 0;
    double x = tQuantileNewton(p, df, status);
    if (status < 0) {
        PyErr_SetString(PyExc_RuntimeError, "divergence error");
        return NULL;
    }
    return PyFloat_FromDouble(x);
}

const CompatArgsFunction statsDt = compatArgsEntry<dt>;
const CompatArgsFunction statsPt = compatArgsEntry<pt>;
const CompatArgsFunction statsQt = compatArgsEntry<qt>;
