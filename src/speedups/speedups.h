// vorm._speedups: the simulation layer's hot paths in C++. The layer is
// plain Python and stays the reference; this module replaces a few of its
// methods (the event loop, start, the facility's seize and release, the
// updates of the facility's monitors) with functions that do exactly what
// the Python code does, step for step, in the same order, so that a model
// gives the same numbers with or without it.
//
// The layer's classes keep their fields in __slots__; the module reads the
// slot offsets from the classes' member descriptors when it is bound to them,
// and reads the request records of vorm.ext directly, as the core lays them
// out (bind checks the sizes).
#ifndef VORM_SPEEDUPS_SPEEDUPS_H
#define VORM_SPEEDUPS_SPEEDUPS_H

#include "../requests/request.h"

// What a process is doing; the values of the layer's own constants, which
// bind checks.
enum ProcessState { SCHEDULED, HOLDING, WAITING, PASSIVE, SUSPENDED, FINISHED, GRANTED, STATE_COUNT };

// How a facility makes its line entries (the layer's LINKED, PRIORITY, TIMED).
enum EntryKind { LINKED_ENTRY, PRIORITY_ENTRY, TIMED_ENTRY };

struct SimulationSlots {
    Py_ssize_t now, active, events, order, closed;
};
struct ProcessSlots {
    Py_ssize_t sim, send, state, left, joiners;
};
struct FacilitySlots {
    Py_ssize_t sim, name, capacity, limit, preemptive, line, users, wait, length, busy, balked, kind;
};
struct TallySlots {
    Py_ssize_t sim, count, total, mean, m2, min, max, series;
};
struct LevelSlots {
    Py_ssize_t sim, value, min, max, series, since, area;
};

struct Layer {
    PyTypeObject *simulationType, *processType, *facilityType, *tallyType, *levelType;
    PyTypeObject *requestType; // vorm.ext.Request, found among the process's bases
    PyObject *simulationError; // raised by a command that refuses its process
    PyObject *zero;            // the float 0.0: a seize's default priority
    PyObject *states[STATE_COUNT];
    SimulationSlots sim;
    ProcessSlots proc;
    FacilitySlots fac;
    TallySlots tally;
    LevelSlots level;
};

// Filled by bind(); the functions below may run only after it succeeded.
extern Layer layer;

// Interned method and attribute names.
struct Names {
    PyObject *pop, *push, *deleteName, *create, *apply, *expire, *other, *refuse, *fail, *wakeJoiners, *preempt,
        *add, *set, *name, *send, *throwName, *newEntry;
};
extern Names names;

// A slot's object, borrowed; NULL with AttributeError set when it was never
// assigned (as reading it in Python would raise).
PyObject *slotGet(PyObject *object, Py_ssize_t offset, const char *name);

inline PyObject *&slotRef(PyObject *object, Py_ssize_t offset)
{
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(object) + offset);
}

// Stores value (taking a new reference) before the old one goes: releasing
// it may run code that reads the slot.
inline void slotSet(PyObject *object, Py_ssize_t offset, PyObject *value)
{
    PyObject *&slot = slotRef(object, offset);
    PyObject *old = slot;
    Py_INCREF(value);
    slot = value;
    Py_XDECREF(old);
}

// The same, taking over the caller's reference; fails when value is NULL.
inline int slotSetOwned(PyObject *object, Py_ssize_t offset, PyObject *value)
{
    if (value == NULL)
        return -1;
    PyObject *&slot = slotRef(object, offset);
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
    return 0;
}

inline int slotSetDouble(PyObject *object, Py_ssize_t offset, double value)
{
    return slotSetOwned(object, offset, PyFloat_FromDouble(value));
}

inline bool isLayerRequest(PyObject *object) { return PyObject_TypeCheck(object, layer.requestType); }

inline RequestObject *asRequest(PyObject *object) { return reinterpret_cast<RequestObject *>(object); }
inline TimeRequestObject *asTimeRequest(PyObject *object) { return reinterpret_cast<TimeRequestObject *>(object); }

// The state of a process, or -1 when its slot holds something else.
long processState(PyObject *process);
inline void setProcessState(PyObject *process, ProcessState state)
{
    slotSet(process, layer.proc.state, layer.states[state]);
}

// Puts process in the event list `delay` from now with the next number of
// the simulation's order, in the given state (Simulation._schedule without
// its check: the callers pass delays they know to be valid).
int schedule(PyObject *sim, PyObject *process, double delay, ProcessState state);

// process.priority = next(order).
int takeOrder(PyObject *order, PyObject *process);

// The simulation's clock.
bool simulationNow(PyObject *sim, double *now);

// Method calls by interned name with one or two arguments.
PyObject *callMethod(PyObject *object, PyObject *name, PyObject *argument);
PyObject *callMethod2(PyObject *object, PyObject *name, PyObject *first, PyObject *second);
int callMethodIgnore(PyObject *object, PyObject *name, PyObject *argument);

// The layer's own (Python) method function called on self with args (and
// keywords), or with one argument: where the native path hands a case on.
PyObject *callPython(PyObject *function, PyObject *self, PyObject *args, PyObject *kwds);
PyObject *callPythonWith(PyObject *function, PyObject *self, PyObject *argument);

// The error just raised while `handled` was being dealt with gets it as its
// context, as an except block would give it.
void chainToHandled(PyObject *handled);

// The methods installed into the layer's classes.
PyObject *simulationLoop(PyObject *sim, PyObject *limit);
PyObject *simulationStart(PyObject *sim, PyObject *args, PyObject *kwds);
PyObject *facilitySeize(PyObject *facility, PyObject *args);
PyObject *facilityRelease(PyObject *facility, PyObject *args, PyObject *kwds);
PyObject *facilityReleaseEntry(PyObject *facility, PyObject *entry);
PyObject *facilityGrant(PyObject *facility, PyObject *entry);

#endif
