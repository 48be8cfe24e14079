// Simulation._loop and Simulation.start.
#include "speedups.h"

// ---------------------------------------------------------------------------
// Shared steps

PyObject *slotGet(PyObject *object, Py_ssize_t offset, const char *name)
{
    PyObject *value = slotRef(object, offset);
    if (value == NULL)
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%.100s'", Py_TYPE(object)->tp_name,
                     name);
    return value;
}

long processState(PyObject *process)
{
    PyObject *state = slotRef(process, layer.proc.state);
    long value = -1;
    if (state == NULL || !compatExactIntValue(state, &value))
        return -1;
    return value;
}

bool simulationNow(PyObject *sim, double *now)
{
    PyObject *value = slotGet(sim, layer.sim.now, "now");
    if (value == NULL)
        return false;
    *now = PyFloat_AsDouble(value);
    return !(*now == -1.0 && PyErr_Occurred());
}

PyObject *callMethod(PyObject *object, PyObject *name, PyObject *argument)
{
    return PyObject_CallMethodObjArgs(object, name, argument, NULL);
}

PyObject *callMethod2(PyObject *object, PyObject *name, PyObject *first, PyObject *second)
{
    return PyObject_CallMethodObjArgs(object, name, first, second, NULL);
}

int callMethodIgnore(PyObject *object, PyObject *name, PyObject *argument)
{
    PyObject *result = callMethod(object, name, argument);
    if (result == NULL)
        return -1;
    Py_DECREF(result);
    return 0;
}

PyObject *callPython(PyObject *function, PyObject *self, PyObject *args, PyObject *kwds)
{
    Py_ssize_t count = args != NULL ? PyTuple_GET_SIZE(args) : 0;
    PyObject *bound = PyTuple_New(count + 1);
    if (bound == NULL)
        return NULL;
    Py_INCREF(self);
    PyTuple_SET_ITEM(bound, 0, self);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(PyTuple_GET_ITEM(args, i));
        PyTuple_SET_ITEM(bound, i + 1, PyTuple_GET_ITEM(args, i));
    }
    PyObject *result = PyObject_Call(function, bound, kwds);
    Py_DECREF(bound);
    return result;
}

PyObject *callPythonWith(PyObject *function, PyObject *self, PyObject *argument)
{
    return PyObject_CallFunctionObjArgs(function, self, argument, NULL);
}

void chainToHandled(PyObject *handled)
{
    PyObject *type, *raised, *traceback;
    PyErr_Fetch(&type, &raised, &traceback);
    PyErr_NormalizeException(&type, &raised, &traceback);
    compatSetContext(raised, handled);
    PyErr_Restore(type, raised, traceback);
}

// process.priority = next(order), as the priority setter converts an int.
int takeOrder(PyObject *order, PyObject *process)
{
    PyObject *number = PyIter_Next(order);
    if (number == NULL) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_StopIteration, "");
        return -1;
    }
    double value = 0.0;
    bool accepted = true;
    if (PyFloat_Check(number))
        value = PyFloat_AS_DOUBLE(number);
    else
        accepted = compatPlainIntValue(number, &value);
    Py_DECREF(number);
    if (!accepted) {
        PyErr_SetString(PyExc_TypeError, "The priority attribute value must be a float or integer");
        return -1;
    }
    asTimeRequest(process)->priority = value;
    return 0;
}

int schedule(PyObject *sim, PyObject *process, double delay, ProcessState state)
{
    double now = 0.0;
    if (!simulationNow(sim, &now))
        return -1;
    setProcessState(process, state);
    asTimeRequest(process)->futureTime = now + delay;
    PyObject *order = slotGet(sim, layer.sim.order, "_order");
    PyObject *events = slotGet(sim, layer.sim.events, "_events");
    if (order == NULL || events == NULL)
        return -1;
    Py_INCREF(events);
    int status = takeOrder(order, process) < 0 ? -1 : callMethodIgnore(events, names.push, process);
    Py_DECREF(events);
    return status;
}

// ---------------------------------------------------------------------------
// The event loop

namespace {

// What the loop holds for one run: the event list and its bound pop and push
// (as the Python loop binds them once), and the order counter.
struct Run {
    PyObject *sim, *events, *pop, *push, *order;
    double limit;
};

enum Step { STEP_BLOCKED, STEP_GO_ON, STEP_FAILED };

// The process finished with result (consumed): FINISHED, val is the result,
// whoever waits for it wakes.
int finish(const Run &run, PyObject *process, PyObject *result)
{
    setProcessState(process, FINISHED);
    requestReplaceField(&asRequest(process)->val, result);
    PyObject *joiners = slotGet(process, layer.proc.joiners, "_joiners");
    int status = 0;
    if (joiners == NULL)
        status = -1;
    else if (joiners != Py_None) {
        PyObject *done = callMethod2(run.sim, names.wakeJoiners, process, result);
        status = done == NULL ? -1 : 0;
        Py_XDECREF(done);
    }
    Py_DECREF(result);
    return status;
}

// An exception escaped from the process: Simulation._fail sees it first,
// then it goes on (or what _fail raised instead, with it as the context).
void fail(const Run &run, PyObject *process)
{
    PyObject *type, *value, *traceback;
    compatFetchNormalized(&type, &value, &traceback);
    PyObject *done = callMethod2(run.sim, names.fail, process, value != NULL ? value : Py_None);
    if (done != NULL) {
        Py_DECREF(done);
        PyErr_Restore(type, value, traceback);
        return;
    }
    chainToHandled(value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

// A command that is not a float delay: its _apply, or the layer's own
// handling of numbers and mistakes. go_on tells whether the process goes on
// at once.
Step command(const Run &run, PyObject *process, PyObject *commandObject)
{
    PyObject *result = NULL;
    PyObject *apply = PyObject_GetAttr(commandObject, names.apply);
    if (apply == NULL) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return STEP_FAILED;
        PyErr_Clear();
        result = callMethod2(run.sim, names.other, process, commandObject);
    } else {
        result = PyObject_CallFunctionObjArgs(apply, run.sim, process, NULL);
        Py_DECREF(apply);
        if (result == NULL && PyErr_ExceptionMatches(layer.simulationError)) {
            PyObject *type, *value, *traceback;
            compatFetchNormalized(&type, &value, &traceback);
            result = callMethod2(run.sim, names.refuse, process, value);
            if (result == NULL)
                chainToHandled(value);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
    }
    if (result == NULL)
        return STEP_FAILED;
    int goOn = PyObject_IsTrue(result);
    Py_DECREF(result);
    if (goOn < 0)
        return STEP_FAILED;
    return goOn ? STEP_GO_ON : STEP_BLOCKED;
}

// Resumes process with value (consumed) until it blocks or ends.
int resume(const Run &run, PyObject *process, double now, PyObject *value)
{
    for (;;) {
        PyObject *send = slotGet(process, layer.proc.send, "_send");
        if (send == NULL) {
            Py_DECREF(value);
            return -1;
        }
        Py_INCREF(send);
        PyObject *yielded = NULL;
        CompatSendResult sent = compatSend(send, value, &yielded);
        Py_DECREF(send);
        Py_DECREF(value);
        if (sent == COMPAT_SEND_RETURN)
            return finish(run, process, yielded);
        if (sent == COMPAT_SEND_ERROR) {
            fail(run, process);
            return -1;
        }
        if (PyFloat_CheckExact(yielded) && PyFloat_AS_DOUBLE(yielded) >= 0.0) {
            setProcessState(process, HOLDING);
            asTimeRequest(process)->futureTime = now + PyFloat_AS_DOUBLE(yielded);
            Py_DECREF(yielded);
            if (takeOrder(run.order, process) < 0)
                return -1;
            PyObject *pushed = compatCallOneArg(run.push, process);
            if (pushed == NULL)
                return -1;
            Py_DECREF(pushed);
            return 0;
        }
        Step step = command(run, process, yielded);
        Py_DECREF(yielded);
        if (step != STEP_GO_ON)
            return step == STEP_BLOCKED ? 0 : -1;
        value = asRequest(process)->val;
        Py_INCREF(value);
        requestReplaceField(&asRequest(process)->val, Py_None);
    }
}

// One event: the process at the head of the event list. 1 when it lies
// beyond the limit (and is back in the list), 0 when it ran, -1 on error.
int event(const Run &run, PyObject *process)
{
    if (!PyObject_TypeCheck(process, layer.processType)) {
        PyErr_Format(PyExc_TypeError, "the event list holds %.100s, which is not a process", Py_TYPE(process)->tp_name);
        return -1;
    }
    double now = asTimeRequest(process)->futureTime;
    if (now > run.limit) {
        PyObject *pushed = compatCallOneArg(run.push, process);
        if (pushed == NULL)
            return -1;
        Py_DECREF(pushed);
        return 1;
    }
    if (slotSetDouble(run.sim, layer.sim.now, now) < 0)
        return -1;
    slotSet(run.sim, layer.sim.active, process);
    PyObject *value = asRequest(process)->val;
    Py_INCREF(value);
    if (value != Py_None) {
        requestReplaceField(&asRequest(process)->val, Py_None);
        if (processState(process) == WAITING) {
            // Its timer ran out first: the waiting gives up.
            setProcessState(process, SCHEDULED);
            PyObject *expired = callMethod2(value, names.expire, run.sim, process);
            Py_DECREF(value);
            if (expired == NULL)
                return -1;
            value = expired;
        }
    }
    return resume(run, process, now, value);
}

} // namespace

PyObject *simulationLoop(PyObject *sim, PyObject *limitObject)
{
    Run run = {sim, NULL, NULL, NULL, NULL, PyFloat_AsDouble(limitObject)};
    if (run.limit == -1.0 && PyErr_Occurred())
        return NULL;
    run.events = slotGet(sim, layer.sim.events, "_events");
    if (run.events == NULL)
        return NULL;
    Py_INCREF(run.events);
    PyObject *result = NULL;
    run.pop = PyObject_GetAttr(run.events, names.pop);
    run.push = run.pop != NULL ? PyObject_GetAttr(run.events, names.push) : NULL;
    run.order = run.push != NULL ? slotGet(sim, layer.sim.order, "_order") : NULL;
    Py_XINCREF(run.order);
    while (run.order != NULL) {
        int more = PyObject_IsTrue(run.events);
        if (more <= 0) {
            if (more == 0)
                result = Py_None;
            break;
        }
        PyObject *process = compatCallNoArgs(run.pop);
        if (process == NULL)
            break;
        int ran = event(run, process);
        Py_DECREF(process);
        if (ran != 0) {
            if (ran > 0)
                result = Py_None;
            break;
        }
    }
    Py_XINCREF(result);
    Py_XDECREF(run.order);
    Py_XDECREF(run.push);
    Py_XDECREF(run.pop);
    Py_DECREF(run.events);
    return result;
}

// ---------------------------------------------------------------------------
// Simulation.start: the common case (a generator, a valid float delay, an
// open simulation) here; every other case to the Python method, which also
// raises the errors.

extern PyObject *pureStart;

static bool startIsPlain(PyObject *sim, PyObject *generator, PyObject *delay)
{
    if (!PyGen_CheckExact(generator))
        return false;
    if (delay != NULL && !(PyFloat_CheckExact(delay) && PyFloat_AS_DOUBLE(delay) >= 0.0))
        return false;
    PyObject *closed = slotRef(sim, layer.sim.closed);
    return closed == Py_False;
}

// The new process's fields, as Simulation.start sets them.
static int startFields(PyObject *sim, PyObject *process, PyObject *generator, PyObject *name)
{
    slotSet(process, layer.proc.sim, sim);
    if (slotSetOwned(process, layer.proc.send, PyObject_GetAttr(generator, names.send)) < 0)
        return -1;
    slotSet(process, layer.proc.left, Py_None);
    slotSet(process, layer.proc.joiners, Py_None);
    PyObject *label = name != Py_None ? name : NULL;
    if (label == NULL && (label = PyObject_GetAttr(generator, names.name)) == NULL)
        return -1;
    if (label == name)
        Py_INCREF(label);
    requestReplaceField(&asRequest(process)->name, label);
    Py_DECREF(label);
    PyObject *active = slotGet(sim, layer.sim.active, "active");
    if (active == NULL)
        return -1;
    if (active != Py_None) {
        if (!isLayerRequest(active)) {
            PyErr_SetString(PyExc_TypeError, "The parent attribute value must be a Request");
            return -1;
        }
        requestReplaceField(&asRequest(process)->parent, active);
    }
    return 0;
}

PyObject *simulationStart(PyObject *sim, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"generator", "name", "delay", NULL};
    PyObject *generator = NULL, *name = Py_None, *delay = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:start", const_cast<char **>(keywords), &generator, &name,
                                     &delay))
        return NULL;
    if (!startIsPlain(sim, generator, delay))
        return callPython(pureStart, sim, args, kwds);
    PyObject *process = compatCallNoArgs(reinterpret_cast<PyObject *>(layer.processType));
    if (process == NULL)
        return NULL;
    if (startFields(sim, process, generator, name) < 0 ||
        schedule(sim, process, delay != NULL ? PyFloat_AS_DOUBLE(delay) : 0.0, SCHEDULED) < 0) {
        Py_DECREF(process);
        return NULL;
    }
    return process;
}
