// Process: a generator that yields commands, and the TimeRequest that wakes
// it. It sits in the simulation's event list while it holds; its prev chain
// records what it did (the entries of the lines it joined, its marks),
// newest first.
#ifndef VORM_KERNEL_PROCESS_H
#define VORM_KERNEL_PROCESS_H

#include "kernel.h"

struct CompositeWait;

struct ProcessObject : TimeRequestObject {
    SimulationObject *sim;      // owned
    PyObject *generator;        // owned
    PyObject *send;             // owned: the generator's bound send where resuming needs it, else NULL
    PyObject *resume;           // owned: what the next resumption sends in (NULL: None)
    PyObject *error;            // owned: what the next resumption raises inside instead, or NULL
    PyObject *joiners;          // owned RequestListFIFO of those who wait for it, or NULL
    PyObject *waitEntry;        // owned: the request it waits in (a line entry, a waiter), or NULL
    CompositeWait *composite;   // the composite wait it is in (its own), or NULL
    // The entry it is placing (recorded, not yet in its line): a record made
    // meanwhile by code that runs must not take it for one that has left
    // every line. Borrowed, only compared.
    PyObject *joining;
    double left;                // the time a preempted hold still owes (hasLeft)
    bool hasLeft;
    int state;
    ProcessObject *aliveNext, *alivePrev; // the simulation's ring of unfinished processes
};

extern PyTypeObject ProcessType;

inline bool isProcess(PyObject *object) { return Py_TYPE(object) == &ProcessType; }
inline ProcessObject *asProcess(PyObject *object) { return reinterpret_cast<ProcessObject *>(object); }
inline PyObject *asObject(void *object) { return static_cast<PyObject *>(object); }

// A new process of generator in sim, named name (None: the generator's
// name), whose parent is sim's running process; not yet scheduled.
ProcessObject *processNew(SimulationObject *sim, PyObject *generator, PyObject *name);

// Runs process from the event list: sends in what it resumes with and goes
// on until it blocks or ends. -1 when an error leaves run().
int processStep(ProcessObject *process);

// Puts request at the head of the process's chain; an older request of the
// same name that no container holds any more leaves it. -1 on error (a name
// comparison raised).
int processRecord(ProcessObject *process, PyObject *request);
// The same forgetting for a request recorded already, once an older one of
// its name has left its line. -1 on error.
int processForgetOlder(ProcessObject *process, PyObject *request);

// The entry of a container that the process now waits in: recorded as what
// it waits for (or as a branch of its composite wait). Takes a reference.
void processParkEntry(ProcessObject *process, PyObject *entry);

// Something the process waited for has happened: entry (its wait entry, or a
// branch of its composite wait) completes with value, or fails with error
// (value is then the exception). The process resumes now, through the event
// list, in state. Entries no longer waited for are ignored. -1 on error.
int processFire(ProcessObject *process, PyObject *entry, PyObject *value, bool error, int state);

// Withdraws a waiting entry from its container, telling the facility, store
// or tank that owns it. -1 on error.
int processWithdrawEntry(PyObject *entry);

// Withdraws the process from whatever it waits for (its entry, its composite
// wait's branches, its timer, the passive list). -1 on error.
int processCancelWait(ProcessObject *process);

// The sentinel a Python command's _apply returns once it has parked the process.
extern PyObject *parkedMarker;

// Applies a yielded command for process (the running one).
ApplyResult processApply(ProcessObject *process, PyObject *command, PyObject **value);

// Whether the process waits on entry (its wait entry); it no longer does
// afterwards, and the reference to entry that it held is released.
bool processTakeEntry(ProcessObject *process, PyObject *entry);

// Parks the running process with a new entry in container, named name and
// targeting target, recorded in its chain: the one way a process waits in a
// list of waiters (of a signal, of another process). placed, when not NULL,
// receives the entry (a new reference) once the process is parked.
ApplyResult processParkIn(ProcessObject *process, PyObject *container, PyObject *target, PyObject *name,
                          PyObject **placed);

// The list of those who wait for the process, made when first needed;
// borrowed, or NULL on error.
PyObject *processJoiners(ProcessObject *process);

// The process leaves the simulation's ring of unfinished processes, which
// drops the ring's reference to it (the caller keeps one).
void processLeaveAlive(SimulationObject *sim, ProcessObject *process);

// Ends a process that close() finds unfinished: its generator is closed.
int processClose(ProcessObject *process);

// The state's name, for reprs and traces.
const char *processStateName(int state);

#endif
