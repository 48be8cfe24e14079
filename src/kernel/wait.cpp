// wait(): waiting for a process natively, for a signal through the signal.
#include "wait.h"

#include "process.h"
#include "simulation.h"

static WaitObject *asWait(PyObject *self) { return reinterpret_cast<WaitObject *>(self); }

PyObject *waitFunction(PyObject *, PyObject *what)
{
    if (!isProcess(what)) {
        int waitable = PyObject_HasAttr(what, names.wait);
        if (!waitable)
            return kernelPlainError(hooks.commandError, Py_None, "wait() needs a process or a signal, not %r",
                                    Py_BuildValue("(O)", what));
    }
    WaitObject *command = PyObject_GC_New(WaitObject, &WaitType);
    if (command == NULL)
        return NULL;
    Py_INCREF(what);
    command->what = what;
    PyObject_GC_Track(command);
    return asObject(command);
}

// The process waits in the list of those who wait for target.
static ApplyResult joinProcess(ProcessObject *process, ProcessObject *target)
{
    PyObject *joiners = processJoiners(target);
    if (joiners == NULL)
        return APPLY_REFUSED;
    Py_INCREF(joiners);
    PyObject *entry = NULL;
    ApplyResult result = processParkIn(process, joiners, asObject(target), target->name, &entry);
    // Code run while the entry was placed (a name's comparison) may have
    // ended the target, which then woke its waiters without this one: it
    // leaves the list, and its wait completes now with the result.
    if (result == APPLY_PARKED && (target->state == FINISHED || target->joiners != joiners)) {
        int status = 0;
        if (asRequest(entry)->queue == joiners && core->isHeld(entry))
            status = containerCallIgnore(joiners, names.deleteName, entry);
        if (status == 0)
            status = processFire(process, entry, target->val, false, SCHEDULED);
        if (status < 0)
            result = APPLY_REFUSED;
    }
    Py_XDECREF(entry);
    Py_DECREF(joiners);
    return result;
}

ApplyResult waitApply(ProcessObject *process, WaitObject *wait, PyObject **value)
{
    SimulationObject *sim = process->sim;
    PyObject *what = wait->what;
    if (!isProcess(what)) {
        // A signal decides itself: the value to go on with, or parked.
        PyObject *result = PyObject_CallMethodObjArgs(what, names.wait, asObject(sim), asObject(process), NULL);
        if (result == NULL)
            return APPLY_REFUSED;
        if (result == parkedMarker) {
            Py_DECREF(result);
            return APPLY_PARKED;
        }
        *value = result;
        return APPLY_GO_ON;
    }
    ProcessObject *target = asProcess(what);
    if (target->sim != sim) {
        kernelError(hooks.stateError, sim, "cannot wait for %r of another simulation", Py_BuildValue("(O)", what));
        return APPLY_REFUSED;
    }
    if (target == process) {
        kernelError(hooks.stateError, sim, "a process cannot wait for itself", PyTuple_New(0));
        return APPLY_REFUSED;
    }
    if (target->state == FINISHED) {
        *value = target->val;
        Py_INCREF(*value);
        return APPLY_GO_ON;
    }
    Py_INCREF(target);
    ApplyResult result = joinProcess(process, target);
    Py_DECREF(target);
    return result;
}

static PyObject *getWhat(PyObject *self, void *)
{
    Py_INCREF(asWait(self)->what);
    return asWait(self)->what;
}

static PyGetSetDef waitGetSet[] = {
    {const_cast<char *>("what"), getWhat, NULL, const_cast<char *>("the process or signal waited for"), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static int waitTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(asWait(self)->what);
    return 0;
}

static int waitClear(PyObject *self)
{
    Py_CLEAR(asWait(self)->what);
    return 0;
}

static void waitDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    waitClear(self);
    PyObject_GC_Del(self);
}

static PyObject *waitRepr(PyObject *self)
{
    PyObject *what = PyObject_Repr(asWait(self)->what);
    if (what == NULL)
        return NULL;
    PyObject *text = kernelFormat("wait(%s)", Py_BuildValue("(N)", what));
    return text;
}

static PyTypeObject makeWaitType()
{
    PyTypeObject type = kernelTypeHead("vorm.Wait", "yield wait(process) or wait(signal).", sizeof(WaitObject), 0);
    type.tp_dealloc = waitDealloc;
    type.tp_traverse = waitTraverse;
    type.tp_clear = waitClear;
    type.tp_repr = waitRepr;
    type.tp_getset = waitGetSet;
    return type;
}

PyTypeObject WaitType = makeWaitType();
