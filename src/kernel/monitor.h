// What the two monitors share: the clock they read, the series they keep
// and the calls by which a facility updates them, whether they are the
// kernel's own monitors or objects of a Python class that stand in for them.
#ifndef VORM_KERNEL_MONITOR_H
#define VORM_KERNEL_MONITOR_H

#include "kernel.h"

// The time of sim: a Simulation's clock, or the now attribute of anything
// else (another framework's environment). -1 on error.
int monitorNow(PyObject *sim, double *now);

// Appends the point (time, value) to series; -1 on error.
int monitorAppend(PyObject *series, PyObject *time, PyObject *value);

// tally.add(x): the kernel's own Tally directly, anything else by name.
int monitorAdd(PyObject *tally, double x);
// level.set(value): the kernel's own Level directly, anything else by name.
int monitorSetValue(PyObject *level, PyObject *value);
// level.set(count).
int monitorSet(PyObject *level, Py_ssize_t count);
// monitor.reset(), by name unless it is the kernel's own.
int monitorReset(PyObject *monitor);
// Resets the three monitors of a facility or buffer, each held meanwhile.
int monitorResetThree(PyObject *first, PyObject *second, PyObject *third);

#endif
