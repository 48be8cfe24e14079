// Student's t distribution with integer degrees of freedom: density and
// distribution function as finite series, and the Newton iteration that
// inverts the latter.
#ifndef VORM_STATS_STUDENTT_H
#define VORM_STATS_STUDENTT_H

#include "distributions.h"
#include "rootfinders.h"

// Both take any df, unchecked: df = 0 gives a step function, negative df
// whatever the series make of it (mostly NaN).
double tDensity(double x, int32_t df);
double tCdf(double x, int32_t df);

// p - F(x) with F the t distribution function; its derivative is minus the
// density.
class tNewton final : public Newton {
public:
    tNewton(double target, int32_t degrees) : p(target), df(degrees) {}
    double evaluate(double x) const override;
    double derivative(double x) const override;

    double p;
    int32_t df;
};

#endif
