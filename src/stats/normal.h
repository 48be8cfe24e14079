// The standard normal distribution: erfc approximation, distribution function
// and the bisection that inverts it.
#ifndef VORM_STATS_NORMAL_H
#define VORM_STATS_NORMAL_H

#include "distributions.h"
#include "rootfinders.h"

// Phi(x), bit for bit what pnorm returns; the t quantile starts from it too.
double normalCdf(double x);

// p - Phi(x): decreasing, so [-7, 7] brackets its root for every p that
// Phi reaches there.
class normalBisection final : public Bisection {
public:
    explicit normalBisection(double target) : p(target) {}
    double evaluate(double x) const override;

    double p;
};

#endif
