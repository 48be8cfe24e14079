// The two root finders behind the quantile functions. A subclass supplies the
// function (and, for Newton, its derivative); solve runs the iteration and
// reports failure through status, never through an exception, so nothing of
// C++ can unwind into the interpreter.
#ifndef VORM_STATS_ROOTFINDERS_H
#define VORM_STATS_ROOTFINDERS_H

#include <cstdint>

// status: on success the number of evaluations made inside the loop, on
// failure -1. Every stopping test is written "go on while the quantity
// exceeds its bound", so a NaN anywhere stops the search at that test.

// Subclasses live on the caller's stack for a single solve and are never
// deleted through a base pointer; the destructor is protected rather than
// virtual so the virtual table holds the listed operations only.
class Newton {
public:
    virtual double evaluate(double x) const = 0;
    virtual double derivative(double x) const = 0;

    // Returns the last iterate, also on failure.
    double solve(double x0, double tolx, double tolf, int32_t maxit, int32_t &status) const;

protected:
    ~Newton() = default;
};

class Bisection {
public:
    virtual double evaluate(double x) const = 0;

    // [a, b] must bracket a sign change. Returns the last midpoint, the end
    // point that is already a root, or 0.0 when there is no sign change.
    double solve(double a, double b, double tolx, double tolf, int32_t maxit, int32_t &status) const;

protected:
    ~Bisection() = default;
};

#endif
