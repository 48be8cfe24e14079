// hold(d) and hold(d, value): `yield hold(d)` suspends the process for d
// time units (yielding the number itself means the same) and evaluates to
// None, or to value when one is given.
#ifndef VORM_KERNEL_HOLD_H
#define VORM_KERNEL_HOLD_H

#include "kernel.h"

// The command of a hold that carries a value; a plain hold is its delay.
struct HoldObject {
    PyObject_HEAD
    double delay;
    PyObject *delayObject; // as given, for the repr
    PyObject *value;
};

extern PyTypeObject HoldType;

// The module function hold(delay, value=None).
PyObject *holdFunction(PyObject *module, const CompatKeywordArgs &args);

#endif
