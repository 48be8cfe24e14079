// Newton iteration and bisection. The comparisons are negated on purpose:
// "unless above the bound" treats a NaN as converged for the function value
// and as failed for the derivative, which the quantiles rely on.
#include "rootfinders.h"

#include <cmath>

double Newton::solve(double x0, double tolx, double tolf, int32_t maxit, int32_t &status) const
{
    double x = x0;
    status = 0;
    for (;;) {
        status++;
        double fx = evaluate(x);
        if (!(std::fabs(fx) > tolf))
            return x;
        if (status > maxit) {
            status = -1;
            return x;
        }
        // Measured against tolf: a slope that small would throw the next
        // iterate far outside any useful range.
        double slope = derivative(x);
        if (!(std::fabs(slope) > tolf)) {
            status = -1;
            return x;
        }
        double next = x - fx / slope;
        double step = std::fabs(next - x);
        if (!(step > tolx))
            return next;
        if (!(step > std::fabs(next) * tolx))
            return next;
        x = next;
    }
}

double Bisection::solve(double a, double b, double tolx, double tolf, int32_t maxit, int32_t &status) const
{
    double fa = evaluate(a);
    double fb = evaluate(b);
    if (fa * fb > 0) {
        status = -1;
        return 0.0;
    }
    status = 0;
    if (fa * fb == 0)
        return fa == 0 ? a : b;
    // fb is not needed past this point: the sign test below uses fa only.
    for (;;) {
        status++;
        double m = (a + b) * 0.5;
        double fm = evaluate(m);
        if (!(std::fabs(fm) > tolf))
            return m;
        if (status > maxit) {
            status = -1;
            return m;
        }
        // The relative test uses the upper end b, not the midpoint.
        double width = std::fabs(a - b);
        if (!(width > tolx))
            return m;
        if (!(width > std::fabs(b) * tolx))
            return m;
        if (fm * fa < 0) {
            b = m;
        } else {
            a = m;
            fa = fm;
        }
    }
}
