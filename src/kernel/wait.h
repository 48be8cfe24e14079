// wait(x): `yield wait(process)` waits until the process has finished and
// evaluates to its result; `yield wait(signal)` asks the signal, a Python
// object, through its _wait(sim, process).
#ifndef VORM_KERNEL_WAIT_H
#define VORM_KERNEL_WAIT_H

#include "kernel.h"

struct WaitObject {
    PyObject_HEAD
    PyObject *what; // owned: a Process, or an object with _wait (a Signal)
};

extern PyTypeObject WaitType;

// The module function wait(what).
PyObject *waitFunction(PyObject *module, PyObject *what);
ApplyResult waitApply(ProcessObject *process, WaitObject *wait, PyObject **value);

#endif
