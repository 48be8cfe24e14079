// first(...) and all_of(...): a process waits for the first of several
// commands, or for all of them. Each command is a branch; a branch that
// waits parks an entry in a container or a timer in the event list, and the
// branches that lose are withdrawn the way any wait is, from their
// containers, so that nothing is left behind.
#ifndef VORM_KERNEL_CONDITION_H
#define VORM_KERNEL_CONDITION_H

#include "kernel.h"

// The command: its branches and whether all must complete.
struct ConditionObject {
    PyObject_HEAD
    PyObject *commands; // tuple
    bool all;
};

extern PyTypeObject ConditionType;

// A timer in the event list for a branch of a composite wait: a hold, or the
// patience of a seize (renege: the line entry that gives up when it fires).
struct TimerObject : TimeRequestObject {
    ProcessObject *process; // owned
    PyObject *value;        // owned: what the branch completes with
    PyObject *renege;       // owned line entry, or NULL
};

extern PyTypeObject TimerType;

inline bool isTimer(PyObject *object) { return Py_TYPE(object) == &TimerType; }
inline TimerObject *asTimer(PyObject *object) { return reinterpret_cast<TimerObject *>(object); }

// A hold branch needs a timer in the event list. The first one uses the
// process itself, which waits nowhere else meanwhile (as a seize's patience
// does), and keeps its value in the branch; any further one gets a Timer.
struct Branch {
    PyObject *entry; // owned: where it waits (a line entry, a waiter), or NULL
    PyObject *timer; // owned: its timer (a Timer, or the process), or NULL
    PyObject *value; // owned: what a hold that is the process completes with
};

// A process's wait on a condition, from its yield until it resumes.
struct CompositeWait {
    ConditionObject *condition; // owned
    Py_ssize_t count, pending;
    Py_ssize_t applying; // the branch being applied, or -1 once all are
    Branch *branches;
    PyObject *values;  // all_of: the values so far (a list)
    PyObject *outcome; // owned once it is decided: the value, or the exception
    bool decided, failed;
};

ApplyResult conditionApply(ProcessObject *process, ConditionObject *condition, PyObject **value);
// A branch's entry or timer fired; stale ones are ignored. -1 on error.
int conditionFire(ProcessObject *process, PyObject *entry, PyObject *value, bool error);
// Withdraws every branch still waiting and drops the composite wait.
int conditionCancel(ProcessObject *process);
// A timer fell due in the event list.
int timerFire(TimerObject *timer);
// The process fell due in the event list as the timer of one of its branches.
int conditionProcessTimer(ProcessObject *process);
// The time a hold branch that is the process still has, or NaN.
double conditionHoldLeft(ProcessObject *process);
// A hold branch of the process's composite wait: its timer.
ApplyResult conditionHold(ProcessObject *process, double delay, PyObject *value);
// The patience timer of a seize branch whose entry has just been parked.
int conditionPatience(ProcessObject *process, PyObject *entry, double patience);
int compositeTraverse(CompositeWait *composite, visitproc visit, void *arg);
void compositeFree(CompositeWait *composite);

// The module functions first(*commands) and all_of(*commands).
PyObject *conditionFirst(PyObject *module, PyObject *commands);
PyObject *conditionAllOf(PyObject *module, PyObject *commands);

#endif
