// Tank: an amount between 0 and a capacity (fuel, water, stock). put(x)
// waits until x fits, get(x) until x is there; each line waits first come,
// first served, so that a large request is not overtaken by smaller ones.
#ifndef VORM_KERNEL_TANK_H
#define VORM_KERNEL_TANK_H

#include "buffer.h"

struct TankObject : BufferObject {
    double amount, capacity;
};

extern PyTypeObject TankType;

inline bool isTank(PyObject *object) { return PyObject_TypeCheck(object, &TankType); }

ApplyResult tankPut(TankObject *tank, ProcessObject *process, double amount, PyObject **value);
ApplyResult tankGet(TankObject *tank, ProcessObject *process, double amount, PyObject **value);

#endif
