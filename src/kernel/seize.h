// Seize: the command `got = yield facility.seize(priority, patience)`; True
// once a server is held, False when the process balked (the line was full)
// or reneged (its patience ran out first).
#ifndef VORM_KERNEL_SEIZE_H
#define VORM_KERNEL_SEIZE_H

#include "facility.h"

struct SeizeObject {
    PyObject_HEAD
    FacilityObject *facility; // owned
    double priority;
    double patience; // NaN: none
    PyObject *priorityObject, *patienceObject; // as given, for the repr
};

extern PyTypeObject SeizeType;

// A new seize command; priority and patience already valid.
PyObject *seizeNew(FacilityObject *facility, double priority, double patience, PyObject *priorityObject,
                   PyObject *patienceObject);
ApplyResult seizeApply(ProcessObject *process, SeizeObject *seize, PyObject **value);

#endif
