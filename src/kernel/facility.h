// Facility: c identical servers and the line that waits for them.
//
// A process that seizes a facility files an entry: a request of the line's
// element type whose val is the process, whose firedTime is when it joined,
// whose priority is the seize's and whose target is the facility. The entry
// waits in the line (any request container: the line decides the order of
// service) and moves to the facility's users list while the process holds a
// server. Entries join the process's chain under the facility's name.
#ifndef VORM_KERNEL_FACILITY_H
#define VORM_KERNEL_FACILITY_H

#include "kernel.h"

struct FacilityObject;

// How the entries of a line are made: the line's kind, chosen when the
// facility is made.
typedef PyObject *(*MakeEntry)(FacilityObject *facility, ProcessObject *process, double priority);

struct FacilityObject {
    PyObject_HEAD
    SimulationObject *sim; // owned; NULL until initialised
    PyObject *name;
    Py_ssize_t capacity; // at least 1
    Py_ssize_t limit;    // the longest line a process joins, or -1 for none
    bool preemptive;
    Container line;
    Container users; // a RequestListFIFO of the entries holding servers
    PyObject *wait, *length, *busy; // a Tally and two Levels, or what replaced them
    PyObject *balked, *reneged, *preempted; // counters (ints)
    MakeEntry makeEntry;
    PyObject *plainSeize; // the seize without arguments, made once
    PyObject *dict;
    PyObject *weakrefs;
};

extern PyTypeObject FacilityType;

inline bool isFacility(PyObject *object) { return PyObject_TypeCheck(object, &FacilityType); }

// The seize of process (running) with the given priority and patience (NaN
// for none).
ApplyResult facilitySeize(FacilityObject *facility, ProcessObject *process, double priority, double patience,
                          PyObject **value);
// Gives back the server that entry (in the users list) holds. -1 on error.
int facilityReleaseEntry(FacilityObject *facility, PyObject *entry);
// A waiting entry leaves the line because its process stops waiting (an
// interrupt, a composite wait decided elsewhere).
int facilityWithdraw(FacilityObject *facility, PyObject *entry);
// A waiting entry's patience ran out: it leaves the line and counts as
// reneged.
int facilityRenege(PyObject *entry);

#endif
