// Seize: the command `got = yield facility.seize(priority, patience)`; True
// once a server is held, False when the process balked (the line was full)
// or reneged (its patience ran out first).
#ifndef VORM_KERNEL_SEIZE_H
#define VORM_KERNEL_SEIZE_H

#include "facility.h"

struct SeizeObject {
    PyObject_HEAD
    // Owned, except by the facility's own plain seize, which the facility
    // owns instead: a cycle between the two would leave every facility to
    // the collector. The facility clears it when it goes; a seize whose
    // facility has gone refuses to be applied.
    FacilityObject *facility;
    bool ownsFacility;
    double priority;
    double patience; // NaN: none
    PyObject *priorityObject, *patienceObject; // as given, for the repr
};

extern PyTypeObject SeizeType;

// A new seize command; priority and patience already valid.
PyObject *seizeNew(FacilityObject *facility, double priority, double patience, PyObject *priorityObject,
                   PyObject *patienceObject);
// The plain seize that a facility makes once and owns.
PyObject *seizePlainOf(FacilityObject *facility);
// The facility is going: its plain seize no longer points at it.
void seizeDetach(PyObject *seize);
ApplyResult seizeApply(ProcessObject *process, SeizeObject *seize, PyObject **value);

#endif
