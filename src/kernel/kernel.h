// vorm._kernel: the simulation layer's hot rules as native types, written
// once. The simulation (clock, event list, order of simultaneous events, the
// run loop), processes, facilities, their commands and the monitors live here
// and own their state as C members; the package's Python code composes them
// (signals, waits, replications, errors, reprs) and answers the rare
// questions through the hooks that this module imports when it loads.
//
// Python code runs at more places than it seems: a generator resume, a
// monitor or hook written in Python, every release of an object (a
// finaliser, a weakref callback), every allocation of a collected object (the
// collector may run finalisers), every conversion of a number that is not an
// exact float or int. The rule for every function here: before such a point
// the objects it touches are consistent, and afterwards it uses only what it
// owns and re-reads any state it needs.
#ifndef VORM_KERNEL_KERNEL_H
#define VORM_KERNEL_KERNEL_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../base/checks.h"
#include "../base/typeobjects.h"
#include "../module/capi.h"
#include "../requests/records.h"

// The core's C interface, read when the module loads.
extern const VormCoreAPI *core;

struct SimulationObject;
struct ProcessObject;
struct FacilityObject;
struct ConditionObject;

// The Python helpers and classes the kernel calls, imported from vorm._hooks
// when the module loads; every one is present (the import fails otherwise).
struct Hooks {
    // Exception classes.
    PyObject *simulationError, *commandError, *argumentError, *stateError, *processError, *interrupt;
    // repr(x) of the native types.
    PyObject *simulationRepr, *processRepr, *facilityRepr, *seizeRepr, *holdRepr, *conditionRepr, *tallyRepr,
        *levelRepr, *storeRepr, *tankRepr, *transferRepr;
    // write_csv(monitor, path) of Tally and Level; tally.histogram(bins).
    PyObject *writeSeries, *histogram;
    // run(until=x) for an x that is not a number: parks a stopper, or says
    // that x is done already.
    PyObject *runUntil;
    // numbers.Real and numbers.Integral.
    PyObject *realType, *integralType;
};
extern Hooks hooks;

// Interned attribute and method names.
struct Names {
    PyObject *apply, *send, *throwName, *close, *clear, *name, *nameAttr, *push, *pop, *get, *deleteName, *create, *add, *set,
        *reset, *wait, *cause, *left;
};
extern Names names;

// What a process is doing. A process in the event list is HOLDING (a hold
// runs), SCHEDULED (it resumes with its resume value), GRANTED (a facility
// has just handed it a server; it resumes with True) or WAITING (its patience
// timer). Out of it, WAITING means parked in a line or another container
// until something fires its entry, PASSIVE in the simulation's passive list,
// SUSPENDED preempted in a line with time left. The state a process had when
// it was taken out of the event list stays while it runs.
// What a command's application says: the process waits (PARKED), goes on at
// once with a value (GO_ON, *value owned), or an error is set that the
// process learns of at its yield (REFUSED).
enum ApplyResult { APPLY_PARKED, APPLY_GO_ON, APPLY_REFUSED };

enum ProcessState { SCHEDULED, HOLDING, WAITING, PASSIVE, SUSPENDED, FINISHED, GRANTED, STATE_COUNT };

// ---------------------------------------------------------------------------
// Errors: the layer's exception classes with a message made by Python's %
// operator from a format and its arguments (so that %r of an object is its
// repr, exactly as the Python code would write it).

// The message fmt % args (args a tuple, stolen; NULL when making it failed).
PyObject *kernelFormat(const char *format, PyObject *args);
// Raises kind(message, process) for a mistake of the running process of sim
// (named in the message) or, without one, kind(message, None). args is stolen.
// Always NULL.
PyObject *kernelError(PyObject *kind, SimulationObject *sim, const char *format, PyObject *args);
int kernelErrorInt(PyObject *kind, SimulationObject *sim, const char *format, PyObject *args);
// The same with the message as given, naming no process.
PyObject *kernelPlainError(PyObject *kind, PyObject *process, const char *format, PyObject *args);
// A borrowed None-or-object for the process argument of an error.
inline PyObject *orNone(void *object) { return object != NULL ? static_cast<PyObject *>(object) : Py_None; }

// The number in value as a double, for a delay, patience or priority: exact
// floats and ints cost nothing; anything else that is a real number goes
// through float() (which may run code). Returns 0, or -1 with CommandError
// (not a number) or ArgumentError (NaN, or beyond a double) raised in the name
// of sim's running process; what names the argument ("hold() delay").
// allowNegative lets priorities be negative.
int kernelNumber(SimulationObject *sim, PyObject *value, const char *what, bool allowNegative, double *out);

// ---------------------------------------------------------------------------
// Containers through the core's C interface, or by name for a Python subclass.

struct Container {
    PyObject *object = NULL;                       // owned
    const RequestContainerMethods *methods = NULL; // NULL: call by name

    int push(PyObject *request) const;
    PyObject *pop() const; // new reference
    int remove(PyObject *request) const;
    int clear() const;
    Py_ssize_t size() const;
};
// Fills container for object (owned by the caller); -1 on error.
int containerOf(PyObject *object, Container *container);
// One call of a container method by name; the result released.
int containerCallIgnore(PyObject *object, PyObject *name, PyObject *argument);

// name + suffix, as monitors are named after their facility or buffer.
PyObject *kernelSuffixed(PyObject *name, const char *suffix);

// A new request of type (one of the core's request types or a subtype),
// its fields at their defaults, held by no container, made by the
// constructor of base (type itself, or the core type that a kernel type
// without a constructor of its own extends). NULL on failure.
PyObject *kernelNewRequest(PyTypeObject *type, PyTypeObject *base = NULL);

// A new empty container of one of the core's types: its constructor only
// (the containers' initialiser does nothing), without a call of the type.
inline PyObject *kernelNewContainer(PyTypeObject *type) { return kernelNewRequest(type); }

inline RequestObject *asRequest(PyObject *object) { return reinterpret_cast<RequestObject *>(object); }
inline TimeRequestObject *asTimeRequest(PyObject *object) { return reinterpret_cast<TimeRequestObject *>(object); }

// Stores value in an owned field (taking a new reference); the old value goes
// afterwards, since releasing it may run code that reads the field.
inline void setField(PyObject **field, PyObject *value) { requestReplaceField(field, value); }
// The same, taking over the caller's reference (value not NULL).
inline void setFieldOwned(PyObject **field, PyObject *value)
{
    PyObject *old = *field;
    *field = value;
    Py_XDECREF(old);
}

// Brent's cycle check over a chain walked one step at a time.
class ChainGuard {
public:
    explicit ChainGuard(PyObject *start) : anchor_(start), steps_(0), power_(1) {}
    // False when next closes a loop.
    bool step(PyObject *next)
    {
        if (next == anchor_)
            return false;
        if (++steps_ == power_) {
            steps_ = 0;
            power_ *= 2;
            anchor_ = next;
        }
        return true;
    }

private:
    PyObject *anchor_;
    Py_ssize_t steps_, power_;
};

// Attributes that are an object field of the record: the closure is the
// field's offset; a NULL field reads as None.
inline void *fieldClosure(size_t offset) { return reinterpret_cast<void *>(offset); }
inline PyObject **fieldAt(PyObject *self, void *closure)
{
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + reinterpret_cast<size_t>(closure));
}
PyObject *kernelGetField(PyObject *self, void *closure);

// The collected type head of the kernel's own types.
PyTypeObject kernelTypeHead(const char *name, const char *doc, Py_ssize_t size, unsigned long extraFlags);

#endif
