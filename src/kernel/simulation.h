// Simulation: the clock, the event list, the order of simultaneous events,
// the passive list, the unfinished processes and the run loop.
#ifndef VORM_KERNEL_SIMULATION_H
#define VORM_KERNEL_SIMULATION_H

#include "kernel.h"

struct ProcessObject;

struct SimulationObject {
    PyObject_HEAD
    double now;
    ProcessObject *active; // owned, or NULL outside every process
    Container events;      // a TimeRequestBinaryHeap of processes and timers
    Container passive;     // a RequestListFIFO of passivated processes
    PyObject *containers;  // list: the containers of its facilities and signals, cleared by close()
    // The unfinished processes, in a ring through their own links; the
    // simulation owns a reference to each, so that close() reaches every one.
    ProcessObject *alive;
    Py_ssize_t aliveCount;
    // Each placing in the event list takes the next number; the list serves
    // equal times highest priority first, so the priority is its negation.
    double order;
    bool running, closed, stopping;
    PyObject *stopValue; // owned: what run() returns once stopped
    PyObject *trace;     // owned callable, or NULL: the trace is off
    PyObject *dict;
    PyObject *weakrefs;
};

extern PyTypeObject SimulationType;

inline bool isSimulation(PyObject *object) { return PyObject_TypeCheck(object, &SimulationType); }

// Puts process in the event list delay (valid already) from now, in state.
// The one way anything enters the event list.
int simulationSchedule(SimulationObject *sim, ProcessObject *process, double delay, int state);
// The same for a timer request of a composite wait.
int simulationScheduleTimer(SimulationObject *sim, PyObject *timer, double delay);
// Takes process out of the event list when it is there; -1 on error.
int simulationUnschedule(SimulationObject *sim, ProcessObject *process);
// Asks the run to stop once the running step is over, returning value.
void simulationStop(SimulationObject *sim, PyObject *value);
// Calls the trace hook, when there is one, with (now, process, what, value).
// -1 when the hook raised.
int simulationTraceEvent(SimulationObject *sim, PyObject *process, const char *what, PyObject *value);
inline bool simulationTracing(SimulationObject *sim) { return sim->trace != NULL; }

// The running process's name for messages, and the process, both borrowed.
inline ProcessObject *simulationActive(SimulationObject *sim) { return sim->active; }

// Registers a container that close() must clear; -1 on error.
int simulationRegister(SimulationObject *sim, PyObject *container);

#endif
