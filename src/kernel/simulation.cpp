// Simulation: the clock, the event list and the run loop.
#include "simulation.h"

#include "condition.h"
#include "process.h"

#include <structmember.h>

// ---------------------------------------------------------------------------
// The event list

// Nothing enters the event list of a closed simulation: code run while
// close() ends the processes (a finally) may still reactivate or interrupt
// one that close() has withdrawn but not yet ended.
static int refuseClosed(SimulationObject *sim)
{
    if (!sim->closed)
        return 0;
    return kernelErrorInt(hooks.stateError, sim, "the simulation is closed", PyTuple_New(0));
}

int simulationSchedule(SimulationObject *sim, ProcessObject *process, double delay, int state)
{
    if (refuseClosed(sim) < 0)
        return -1;
    process->state = state;
    process->futureTime = sim->now + delay;
    process->priority = -sim->order;
    sim->order += 1.0;
    return sim->events.push(asObject(process));
}

int simulationScheduleTimer(SimulationObject *sim, PyObject *timer, double delay)
{
    if (refuseClosed(sim) < 0)
        return -1;
    asTimeRequest(timer)->futureTime = sim->now + delay;
    asTimeRequest(timer)->priority = -sim->order;
    sim->order += 1.0;
    return sim->events.push(timer);
}

int simulationUnschedule(SimulationObject *sim, ProcessObject *process)
{
    if (process->queue != sim->events.object)
        return 0;
    return sim->events.remove(asObject(process));
}

void simulationStop(SimulationObject *sim, PyObject *value)
{
    sim->stopping = true;
    setField(&sim->stopValue, value);
}

int simulationTraceEvent(SimulationObject *sim, PyObject *process, const char *what, PyObject *value)
{
    if (sim->trace == NULL)
        return 0;
    PyObject *hook = sim->trace;
    Py_INCREF(hook);
    PyObject *args = Py_BuildValue("(dOsO)", sim->now, process, what, value);
    PyObject *result = args != NULL ? PyObject_Call(hook, args, NULL) : NULL;
    Py_XDECREF(args);
    Py_DECREF(hook);
    if (result == NULL)
        return -1;
    Py_DECREF(result);
    return 0;
}

int simulationRegister(SimulationObject *sim, PyObject *container) { return PyList_Append(sim->containers, container); }

// ---------------------------------------------------------------------------
// The run loop

// One event: the request at the head of the event list, taken out. 1 when it
// lies beyond the limit (and is back in the list), 0 when it ran, -1 when an
// error leaves run().
static int runEvent(SimulationObject *sim, PyObject *item, double limit)
{
    double now = asTimeRequest(item)->futureTime;
    if (now > limit)
        return sim->events.push(item) < 0 ? -1 : 1;
    if (isProcess(item) && asProcess(item)->sim == sim)
        return processStep(asProcess(item));
    if (isTimer(item) && asTimer(item)->process != NULL && asTimer(item)->process->sim == sim)
        return timerFire(asTimer(item));
    PyErr_Format(PyExc_TypeError, "the event list holds %.100s, which is not a process of this simulation",
                 Py_TYPE(item)->tp_name);
    return -1;
}

static int runLoop(SimulationObject *sim, double limit)
{
    while (!sim->stopping && sim->events.size() > 0) {
        PyObject *item = sim->events.pop();
        if (item == NULL)
            return -1;
        int ran = runEvent(sim, item, limit);
        Py_DECREF(item);
        if (ran != 0)
            return ran < 0 ? -1 : 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Methods

static PyObject *simulationStart(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"generator", "name", "delay", NULL};
    PyObject *slots[8];
    if (!args.unpack("start", parameters, 1, slots))
        return NULL;
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(self);
    PyObject *generator = slots[0], *name = slots[1] != NULL ? slots[1] : Py_None, *delayObject = slots[2];
    if (!PyGen_CheckExact(generator)) {
        int has = PyObject_HasAttr(generator, names.send) && PyObject_HasAttr(generator, names.throwName);
        if (!has)
            return kernelError(hooks.commandError, sim, "start() needs a generator, not %r",
                               Py_BuildValue("(O)", generator));
    }
    if (sim->closed)
        return kernelPlainError(hooks.stateError, Py_None, "start(): the simulation is closed", PyTuple_New(0));
    double delay = 0.0;
    if (delayObject != NULL && !(PyFloat_CheckExact(delayObject) && PyFloat_AS_DOUBLE(delayObject) >= 0.0)) {
        if (kernelNumber(sim, delayObject, "start() delay", false, &delay) < 0)
            return NULL;
    } else if (delayObject != NULL) {
        delay = PyFloat_AS_DOUBLE(delayObject);
    }
    Py_INCREF(self);
    ProcessObject *process = processNew(sim, generator, name);
    PyObject *result = NULL;
    // Creating it may have run code (a collection, its __name__): the
    // simulation may have been closed meanwhile, without seeing it. It is
    // ended as close() would have ended it, or it would stay unfinished in
    // a closed simulation for good.
    if (process != NULL && sim->closed) {
        if (processClose(process) == 0)
            kernelPlainError(hooks.stateError, Py_None, "start(): the simulation is closed", PyTuple_New(0));
    } else if (process != NULL && simulationSchedule(sim, process, delay, SCHEDULED) == 0 &&
               simulationTraceEvent(sim, asObject(process), "start", delayObject != NULL ? delayObject : Py_None) == 0) {
        Py_INCREF(process);
        result = asObject(process);
    }
    Py_XDECREF(process);
    Py_DECREF(self);
    return result;
}

// What run(until=...) runs up to: a time limit, or a stopper entry parked
// where the process or signal until names will fire it.
struct RunUntil {
    double limit = INFINITY;
    PyObject *stopper = NULL; // owned: the parked stopper, withdrawn after the run
    PyObject *done = NULL;    // owned: until had happened already; run() returns this
    bool timed = false;
};

static int runUntilOf(SimulationObject *sim, PyObject *until, RunUntil *run)
{
    if (until == Py_None)
        return 0;
    if (compatIsIntOrFloat(until)) {
        double limit = PyFloat_CheckExact(until) ? PyFloat_AS_DOUBLE(until) : NAN;
        if (limit != limit && kernelNumber(sim, until, "run(): until", true, &limit) < 0)
            return -1;
        run->limit = limit;
        run->timed = true;
        if (!(limit >= sim->now)) {
            PyObject *now = PyFloat_FromDouble(sim->now);
            kernelPlainError(hooks.argumentError, Py_None, "run(): until=%r lies before the current time %r",
                             now != NULL ? Py_BuildValue("(ON)", until, now) : NULL);
            return -1;
        }
        return 0;
    }
    // A process, a signal, or a number of another kind: the hook says which
    // (0, a time), or that it has happened already (1, its value), or parks
    // a stopper entry where it will fire (2, the entry).
    PyObject *answer = PyObject_CallFunctionObjArgs(hooks.runUntil, asObject(sim), until, NULL);
    if (answer == NULL)
        return -1;
    long kind = -1;
    if (PyTuple_Check(answer) && PyTuple_GET_SIZE(answer) == 2 && compatExactIntValue(PyTuple_GET_ITEM(answer, 0), &kind)
        && kind == 0 && PyFloat_CheckExact(PyTuple_GET_ITEM(answer, 1))) {
        int status = runUntilOf(sim, PyTuple_GET_ITEM(answer, 1), run);
        Py_DECREF(answer);
        return status;
    }
    if (kind != 1 && kind != 2) {
        Py_DECREF(answer);
        PyErr_SetString(PyExc_TypeError, "the runUntil hook must return a pair (0, time), (1, value) or (2, entry)");
        return -1;
    }
    PyObject *value = PyTuple_GET_ITEM(answer, 1);
    Py_INCREF(value);
    if (kind == 1)
        run->done = value;
    else
        run->stopper = value;
    Py_DECREF(answer);
    return 0;
}

static int runWithdrawStopper(PyObject *stopper)
{
    PyObject *queue = asRequest(stopper)->queue;
    if (queue == Py_None || !core->isHeld(stopper))
        return 0;
    Py_INCREF(queue);
    int status = containerCallIgnore(queue, names.deleteName, stopper);
    Py_DECREF(queue);
    return status;
}

static PyObject *simulationRun(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"until", NULL};
    PyObject *slots[8];
    if (!args.unpack("run", parameters, 0, slots))
        return NULL;
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(self);
    if (sim->running)
        return kernelError(hooks.stateError, sim, "run() called while the simulation runs", PyTuple_New(0));
    if (sim->closed)
        return kernelPlainError(hooks.stateError, Py_None, "run(): the simulation is closed", PyTuple_New(0));
    RunUntil until;
    Py_INCREF(self);
    int status = runUntilOf(sim, slots[0] != NULL ? slots[0] : Py_None, &until);
    PyObject *result = NULL;
    if (status == 0 && until.done != NULL) {
        result = until.done;
        until.done = NULL;
    } else if (status == 0 && sim->running) {
        // The hook ran code that started a run of its own.
        kernelError(hooks.stateError, sim, "run() called while the simulation runs", PyTuple_New(0));
    } else if (status == 0) {
        sim->running = true;
        sim->stopping = false;
        setField(&sim->stopValue, Py_None);
        status = runLoop(sim, until.limit);
        sim->running = false;
        bool stopped = sim->stopping;
        sim->stopping = false;
        if (sim->active != NULL) {
            ProcessObject *active = sim->active;
            sim->active = NULL;
            Py_DECREF(active);
        }
        if (status == 0 && until.timed && !stopped && until.limit >= sim->now)
            sim->now = until.limit;
        if (status == 0) {
            result = sim->stopValue;
            Py_INCREF(result);
            setField(&sim->stopValue, Py_None);
        }
    }
    if (until.stopper != NULL) {
        // A run that ended by an error withdraws its stopper all the same,
        // with the error put aside meanwhile: it is the one run() raises.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        int withdrawn = runWithdrawStopper(until.stopper);
        if (type != NULL) {
            if (withdrawn < 0)
                PyErr_Clear();
            PyErr_Restore(type, value, traceback);
        } else if (withdrawn < 0) {
            Py_CLEAR(result);
        }
        Py_DECREF(until.stopper);
    }
    Py_XDECREF(until.done);
    Py_DECREF(self);
    return result;
}

static PyObject *simulationPeek(PyObject *self, PyObject *)
{
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(self);
    if (sim->events.size() == 0)
        return PyFloat_FromDouble(INFINITY);
    PyObject *first = PyObject_CallMethodObjArgs(sim->events.object, names.get, NULL);
    if (first == NULL)
        return NULL;
    double time = asTimeRequest(first)->futureTime;
    Py_DECREF(first);
    return PyFloat_FromDouble(time);
}

static PyObject *simulationStopMethod(PyObject *self, PyObject *args)
{
    PyObject *value = Py_None;
    if (!PyArg_UnpackTuple(args, "stop", 0, 1, &value))
        return NULL;
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(self);
    if (!sim->running)
        return kernelPlainError(hooks.stateError, Py_None, "stop(): the simulation is not running", PyTuple_New(0));
    simulationStop(sim, value);
    Py_RETURN_NONE;
}

// An error that a step of close() raised, put aside so that the other steps
// are still taken; the first is the one close() raises at the end.
struct FirstError {
    PyObject *type = NULL, *value = NULL, *traceback = NULL;
    void keep(int status)
    {
        if (status >= 0)
            return;
        if (type == NULL)
            PyErr_Fetch(&type, &value, &traceback);
        else
            PyErr_Clear();
    }
    int raise()
    {
        if (type == NULL)
            return 0;
        PyErr_Restore(type, value, traceback);
        return -1;
    }
};

// Every unfinished process is closed (its generator gets GeneratorExit) and
// every request the simulation made leaves every container. A generator
// whose finally raises does not keep the others open: close() is taken only
// once.
static PyObject *simulationClose(PyObject *self, PyObject *)
{
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(self);
    if (sim->running)
        return kernelError(hooks.stateError, sim, "close() called while the simulation runs", PyTuple_New(0));
    if (sim->closed)
        Py_RETURN_NONE;
    sim->closed = true;
    PyObject *pending = PyList_New(0);
    if (pending == NULL)
        return NULL;
    // First every process leaves what it waits for, so that the containers
    // are cleared of requests that no process will come back for.
    for (ProcessObject *process = sim->alive; process != NULL;) {
        if (PyList_Append(pending, asObject(process)) < 0) {
            Py_DECREF(pending);
            return NULL;
        }
        process = process->aliveNext != sim->alive ? process->aliveNext : NULL;
    }
    Py_INCREF(self);
    FirstError error;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending); ++i)
        error.keep(processCancelWait(asProcess(PyList_GET_ITEM(pending, i))));
    PyObject *containers = sim->containers;
    Py_INCREF(containers);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(containers); ++i) {
        PyObject *container = PyList_GET_ITEM(containers, i);
        Py_INCREF(container);
        error.keep(containerCallIgnore(container, names.clear, NULL));
        Py_DECREF(container);
    }
    Py_DECREF(containers);
    error.keep(sim->events.clear());
    error.keep(sim->passive.clear());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending); ++i)
        error.keep(processClose(asProcess(PyList_GET_ITEM(pending, i))));
    Py_DECREF(pending);
    Py_DECREF(self);
    if (error.raise() < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *simulationEnter(PyObject *self, PyObject *)
{
    Py_INCREF(self);
    return self;
}

static PyObject *simulationExit(PyObject *self, PyObject *)
{
    PyObject *closed = simulationClose(self, NULL);
    if (closed == NULL)
        return NULL;
    Py_DECREF(closed);
    Py_RETURN_FALSE;
}

static PyObject *simulationRegisterMethod(PyObject *self, PyObject *container)
{
    if (!PyObject_TypeCheck(container, core->containerType)) {
        PyErr_SetString(PyExc_TypeError, "_register() needs a request container");
        return NULL;
    }
    if (simulationRegister(reinterpret_cast<SimulationObject *>(self), container) < 0)
        return NULL;
    Py_INCREF(container);
    return container;
}

// _fire(entry, value) and _throw(entry, exception): what a resource written
// in Python (a signal) does when something that a process waits for happens.
static PyObject *simulationFireEntry(PyObject *self, PyObject *args, bool error)
{
    PyObject *entry = NULL, *value = Py_None;
    if (!PyArg_UnpackTuple(args, error ? "_throw" : "_fire", error ? 2 : 1, 2, &entry, &value))
        return NULL;
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(self);
    if (!PyObject_TypeCheck(entry, core->requestType)) {
        PyErr_SetString(PyExc_TypeError, "_fire() needs a request");
        return NULL;
    }
    PyObject *owner = asRequest(entry)->val;
    if (owner == self) {
        simulationStop(sim, error ? Py_None : value);
        if (error) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(value)), value);
            return NULL;
        }
        Py_RETURN_NONE;
    }
    if (!isProcess(owner) || asProcess(owner)->sim != sim) {
        PyErr_SetString(PyExc_TypeError, "_fire() needs the entry of a process of this simulation");
        return NULL;
    }
    Py_INCREF(owner);
    int status = processFire(asProcess(owner), entry, value, error, SCHEDULED);
    Py_DECREF(owner);
    if (status < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *simulationFire(PyObject *self, PyObject *args) { return simulationFireEntry(self, args, false); }
static PyObject *simulationThrow(PyObject *self, PyObject *args) { return simulationFireEntry(self, args, true); }

// _stopper(container, target): parks an entry that stops the run when fired.
static PyObject *simulationStopper(PyObject *self, PyObject *args)
{
    PyObject *container = NULL, *target = NULL;
    if (!PyArg_UnpackTuple(args, "_stopper", 2, 2, &container, &target))
        return NULL;
    if (!PyObject_TypeCheck(container, core->containerType)) {
        PyErr_SetString(PyExc_TypeError, "_stopper() needs a request container");
        return NULL;
    }
    PyObject *entry = kernelNewRequest(core->linkedRequestType);
    if (entry == NULL)
        return NULL;
    setField(&asRequest(entry)->val, self);
    setField(&asRequest(entry)->target, target);
    if (containerCallIgnore(container, names.push, entry) < 0) {
        Py_DECREF(entry);
        return NULL;
    }
    return entry;
}

static PyObject *simulationRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.simulationRepr, self, NULL); }

static PyMethodDef simulationMethods[] = {
    {"start", VORM_METH(compatKeywordsEntry<simulationStart>), VORM_KEYWORDS_FLAGS, NULL},
    {"run", VORM_METH(compatKeywordsEntry<simulationRun>), VORM_KEYWORDS_FLAGS, NULL},
    {"peek", simulationPeek, METH_NOARGS, NULL},
    {"stop", simulationStopMethod, METH_VARARGS, NULL},
    {"close", simulationClose, METH_NOARGS, NULL},
    {"__enter__", simulationEnter, METH_NOARGS, NULL},
    {"__exit__", simulationExit, METH_VARARGS, NULL},
    {"_register", simulationRegisterMethod, METH_O, NULL},
    {"_fire", simulationFire, METH_VARARGS, NULL},
    {"_throw", simulationThrow, METH_VARARGS, NULL},
    {"_stopper", simulationStopper, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

// ---------------------------------------------------------------------------
// Attributes

static SimulationObject *asSimulation(PyObject *self) { return reinterpret_cast<SimulationObject *>(self); }

static PyObject *getNow(PyObject *self, void *) { return PyFloat_FromDouble(asSimulation(self)->now); }

static PyObject *getActive(PyObject *self, void *)
{
    PyObject *active = orNone(asSimulation(self)->active);
    Py_INCREF(active);
    return active;
}

static PyObject *getPending(PyObject *self, void *) { return compatIntFromLong(static_cast<long>(asSimulation(self)->events.size())); }
static PyObject *getAlive(PyObject *self, void *) { return compatIntFromLong(static_cast<long>(asSimulation(self)->aliveCount)); }
static PyObject *getRunning(PyObject *self, void *) { return PyBool_FromLong(asSimulation(self)->running); }
static PyObject *getClosed(PyObject *self, void *) { return PyBool_FromLong(asSimulation(self)->closed); }

static PyObject *getTrace(PyObject *self, void *)
{
    PyObject *trace = orNone(asSimulation(self)->trace);
    Py_INCREF(trace);
    return trace;
}

static int setTrace(PyObject *self, PyObject *value, void *)
{
    if (value != NULL && value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "trace must be None or a callable of (time, process, what, value)");
        return -1;
    }
    PyObject *old = asSimulation(self)->trace;
    Py_XINCREF(value != Py_None ? value : NULL);
    asSimulation(self)->trace = value != Py_None ? value : NULL;
    Py_XDECREF(old);
    return 0;
}

static PyObject *getContainers(PyObject *self, void *) { return PyList_GetSlice(asSimulation(self)->containers, 0, PY_SSIZE_T_MAX); }

static PyGetSetDef simulationGetSet[] = {
    {const_cast<char *>("now"), getNow, NULL, const_cast<char *>("the simulated time"), NULL},
    {const_cast<char *>("active"), getActive, NULL, const_cast<char *>("the running process, or None"), NULL},
    {const_cast<char *>("pending"), getPending, NULL, const_cast<char *>("events in the event list"), NULL},
    {const_cast<char *>("alive"), getAlive, NULL, const_cast<char *>("processes that have not finished"), NULL},
    {const_cast<char *>("running"), getRunning, NULL, const_cast<char *>("whether run() runs"), NULL},
    {const_cast<char *>("closed"), getClosed, NULL, const_cast<char *>("whether close() ended it"), NULL},
    {const_cast<char *>("trace"), getTrace, setTrace, const_cast<char *>("the hook that sees every event"), NULL},
    {const_cast<char *>("_containers"), getContainers, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

// ---------------------------------------------------------------------------
// The type

static PyObject *simulationNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    SimulationObject *sim = asSimulation(self);
    sim->stopValue = Py_None;
    Py_INCREF(Py_None);
    sim->containers = PyList_New(0);
    PyObject *events = sim->containers != NULL ? kernelNewContainer(core->timeHeapType) : NULL;
    if (events == NULL || containerOf(events, &sim->events) < 0) {
        Py_XDECREF(events);
        Py_DECREF(self);
        return NULL;
    }
    Py_DECREF(events);
    PyObject *passive = kernelNewContainer(core->listFIFOType);
    if (passive == NULL || containerOf(passive, &sim->passive) < 0) {
        Py_XDECREF(passive);
        Py_DECREF(self);
        return NULL;
    }
    Py_DECREF(passive);
    return self;
}

static int simulationInit(PyObject *, PyObject *args, PyObject *kwds)
{
    if (PyTuple_GET_SIZE(args) != 0 || (kwds != NULL && PyDict_Size(kwds) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Simulation() takes no arguments");
        return -1;
    }
    return 0;
}

static int simulationTraverse(PyObject *self, visitproc visit, void *arg)
{
    SimulationObject *sim = asSimulation(self);
    Py_VISIT(sim->active);
    Py_VISIT(sim->events.object);
    Py_VISIT(sim->passive.object);
    Py_VISIT(sim->containers);
    Py_VISIT(sim->stopValue);
    Py_VISIT(sim->trace);
    Py_VISIT(sim->dict);
    ProcessObject *process = sim->alive;
    for (Py_ssize_t i = 0; i < sim->aliveCount && process != NULL; ++i, process = process->aliveNext)
        Py_VISIT(asObject(process));
    return 0;
}

static int simulationClear(PyObject *self)
{
    SimulationObject *sim = asSimulation(self);
    // The ring owns its processes: each leaves it before its reference goes.
    while (sim->alive != NULL)
        processLeaveAlive(sim, sim->alive);
    Py_CLEAR(sim->active);
    Py_CLEAR(sim->events.object);
    Py_CLEAR(sim->passive.object);
    Py_CLEAR(sim->containers);
    Py_CLEAR(sim->stopValue);
    Py_CLEAR(sim->trace);
    Py_CLEAR(sim->dict);
    return 0;
}

static void simulationDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (asSimulation(self)->weakrefs != NULL)
        PyObject_ClearWeakRefs(self);
    simulationClear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject makeSimulationType()
{
    PyTypeObject type = kernelTypeHead("vorm.Simulation", "The clock, the event list and the processes of one model.",
                                       sizeof(SimulationObject), Py_TPFLAGS_BASETYPE);
    type.tp_new = simulationNew;
    type.tp_init = simulationInit;
    type.tp_dealloc = simulationDealloc;
    type.tp_traverse = simulationTraverse;
    type.tp_clear = simulationClear;
    type.tp_repr = simulationRepr;
    type.tp_methods = simulationMethods;
    type.tp_getset = simulationGetSet;
    type.tp_dictoffset = offsetof(SimulationObject, dict);
    type.tp_weaklistoffset = offsetof(SimulationObject, weakrefs);
    return type;
}

PyTypeObject SimulationType = makeSimulationType();
