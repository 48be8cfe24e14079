// Tally: count, mean, variance, minimum and maximum of observations (waiting
// times, say), and with series=True every observation with the simulated
// time at which it was made.
#ifndef VORM_KERNEL_TALLY_H
#define VORM_KERNEL_TALLY_H

#include "monitor.h"

struct TallyObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *sim;    // owned, or None
    PyObject *series; // a list, or NULL
    Py_ssize_t count;
    double total, mean, m2, min, max;
    // The observations that are the minimum and maximum, when they were
    // added as objects other than floats (an int stays an int); else NULL.
    PyObject *minObject, *maxObject;
    // With bins: their edges (count + 1, increasing) and the observations
    // counted in each, below the first edge and above the last.
    double *edges;
    Py_ssize_t *counts;
    Py_ssize_t bins, below, above;
};

extern PyTypeObject TallyType;

// Adds an observation; object is what was given (NULL: a float of x). -1
// when keeping it in the series failed.
int tallyAdd(TallyObject *tally, double x, PyObject *object);
void tallyReset(TallyObject *tally);

#endif
