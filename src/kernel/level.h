// Level: a quantity that changes at points of simulated time (a line length,
// the number of busy servers): its time average, minimum and maximum since
// creation or the last reset, and with series=True every (time, value)
// change.
#ifndef VORM_KERNEL_LEVEL_H
#define VORM_KERNEL_LEVEL_H

#include "monitor.h"

struct LevelObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *sim;    // owned: a Simulation, or anything with a now
    PyObject *series; // a list, or NULL
    PyObject *value, *min, *max; // owned, as they were set
    double valueDouble;          // value as a float, for the averages
    double start, since, area;
};

extern PyTypeObject LevelType;

// Sets the level to value (owned by the caller) at the time of its
// simulation. -1 on error.
int levelSet(LevelObject *level, PyObject *value);
int levelReset(LevelObject *level);

#endif
