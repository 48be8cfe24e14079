// The lines, monitors and entries that stores and tanks share.
#include "buffer.h"

#include "monitor.h"
#include "process.h"
#include "simulation.h"
#include "level.h"
#include "tally.h"

bool bufferInitialised(BufferObject *buffer)
{
    if (buffer->sim != NULL)
        return true;
    PyErr_SetString(PyExc_RuntimeError, "the store or tank was never initialised");
    return false;
}

bool bufferUsable(BufferObject *buffer, ProcessObject *process)
{
    if (!bufferInitialised(buffer))
        return false;
    if (buffer->sim != process->sim) {
        kernelError(hooks.stateError, process->sim, "cannot use %r of another simulation",
                    Py_BuildValue("(O)", asObject(buffer)));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Waiting entries

int bufferPark(BufferObject *buffer, ProcessObject *process, bool get, PyObject *item, PyObject *filter,
               double amount, double priority, PyObject **entry)
{
    PyObject *object = kernelNewRequest(&TransferEntryType, core->linkedRequestType);
    if (object == NULL)
        return -1;
    TransferEntryObject *waiting = asTransferEntry(object);
    setField(&waiting->parent, asObject(process));
    setField(&waiting->name, buffer->name);
    setField(&waiting->val, asObject(process));
    waiting->firedTime = process->sim->now;
    setField(&waiting->target, asObject(buffer));
    Py_INCREF(item);
    waiting->item = item;
    Py_XINCREF(filter);
    waiting->filter = filter;
    waiting->amount = amount;
    waiting->priority = priority;
    const Container &line = get ? buffer->getters : buffer->putters;
    if (processRecord(process, object) < 0 || line.push(object) < 0) {
        Py_DECREF(object);
        return -1;
    }
    processParkEntry(process, object);
    process->state = WAITING;
    *entry = object;
    return 0;
}

static int tallyWait(BufferObject *buffer, bool get, double waited)
{
    PyObject *tally = get ? buffer->getWait : buffer->putWait;
    Py_INCREF(tally);
    int status = monitorAdd(tally, waited);
    Py_DECREF(tally);
    return status;
}

int bufferTallyNow(BufferObject *buffer, bool get) { return tallyWait(buffer, get, 0.0); }

int bufferComplete(BufferObject *buffer, PyObject *entry, bool get, PyObject *value)
{
    SimulationObject *sim = buffer->sim;
    // Owned to the end: the trace names it after code has run that may
    // have replaced the entry's val.
    PyObject *owner = asRequest(entry)->val;
    Py_INCREF(owner);
    int status = 0;
    if (isProcess(owner) && asProcess(owner)->sim == sim)
        status = processFire(asProcess(owner), entry, value, false, SCHEDULED);
    if (status == 0)
        status = tallyWait(buffer, get, sim->now - asRequest(entry)->firedTime);
    if (status == 0 && simulationTracing(sim))
        status = simulationTraceEvent(sim, owner, get ? "got" : "put", value);
    Py_DECREF(owner);
    return status;
}

int bufferRecordContents(BufferObject *buffer, PyObject *value)
{
    if (value == NULL)
        return -1;
    PyObject *level = buffer->contents;
    Py_INCREF(level);
    int status = monitorSetValue(level, value);
    Py_DECREF(level);
    Py_DECREF(value);
    return status;
}

int bufferWithdraw(PyObject *entry)
{
    PyObject *target = asRequest(entry)->target;
    if (!isBuffer(target) || asRequest(entry)->queue == Py_None || !core->isHeld(entry))
        return 0;
    BufferObject *buffer = asBuffer(target);
    PyObject *queue = asRequest(entry)->queue;
    const Container *line = queue == buffer->getters.object ? &buffer->getters
                            : queue == buffer->putters.object ? &buffer->putters
                                                              : NULL;
    if (line == NULL)
        return 0;
    Py_INCREF(buffer);
    // A waiting process that gives up may unblock those behind it.
    int status = line->remove(entry);
    if (status == 0)
        status = buffer->serve(buffer);
    Py_DECREF(buffer);
    return status;
}

// ---------------------------------------------------------------------------
// Construction, collection, attributes

int bufferInit(BufferObject *buffer, const BufferArgs &args, const char *kind, PyObject *contents)
{
    if (buffer->sim != NULL) {
        PyErr_Format(PyExc_TypeError, "a %s is initialised once", kind);
        return -1;
    }
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(args.sim);
    int series = PyObject_IsTrue(args.series);
    if (series < 0)
        return -1;
    PyObject *keep = series ? Py_True : Py_False;
    PyObject *getters = kernelNewContainer(core->listFIFOType);
    PyObject *putters = getters != NULL ? kernelNewContainer(core->listFIFOType) : NULL;
    PyObject *level = NULL, *getWait = NULL, *putWait = NULL;
    if (putters != NULL) {
        PyObject *label = kernelSuffixed(args.name, " contents");
        level = label != NULL ? PyObject_CallFunctionObjArgs(asObject(&LevelType), args.sim, label, contents, keep, NULL) : NULL;
        Py_XDECREF(label);
    }
    if (level != NULL) {
        PyObject *label = kernelSuffixed(args.name, " get wait");
        getWait = label != NULL ? PyObject_CallFunctionObjArgs(asObject(&TallyType), label, args.sim, keep, NULL) : NULL;
        Py_XDECREF(label);
    }
    if (getWait != NULL) {
        PyObject *label = kernelSuffixed(args.name, " put wait");
        putWait = label != NULL ? PyObject_CallFunctionObjArgs(asObject(&TallyType), label, args.sim, keep, NULL) : NULL;
        Py_XDECREF(label);
    }
    int status = putWait != NULL && buffer->sim == NULL ? 0 : -1;
    if (status == 0 && (simulationRegister(sim, getters) < 0 || simulationRegister(sim, putters) < 0 ||
                        containerOf(getters, &buffer->getters) < 0 || containerOf(putters, &buffer->putters) < 0))
        status = -1;
    if (status == 0) {
        setField(&buffer->name, args.name);
        std::swap(buffer->contents, level);
        std::swap(buffer->getWait, getWait);
        std::swap(buffer->putWait, putWait);
        Py_INCREF(sim);
        buffer->sim = sim;
    } else if (putWait != NULL && !PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "a %s is initialised once", kind);
    }
    Py_XDECREF(getters);
    Py_XDECREF(putters);
    Py_XDECREF(level);
    Py_XDECREF(getWait);
    Py_XDECREF(putWait);
    return status;
}

int bufferTraverse(BufferObject *buffer, visitproc visit, void *arg)
{
    Py_VISIT(asObject(buffer->sim));
    Py_VISIT(buffer->name);
    Py_VISIT(buffer->getters.object);
    Py_VISIT(buffer->putters.object);
    Py_VISIT(buffer->contents);
    Py_VISIT(buffer->getWait);
    Py_VISIT(buffer->putWait);
    Py_VISIT(buffer->dict);
    return 0;
}

void bufferClear(BufferObject *buffer)
{
    PyObject *sim = asObject(buffer->sim);
    buffer->sim = NULL;
    Py_XDECREF(sim);
    Py_CLEAR(buffer->name);
    Py_CLEAR(buffer->getters.object);
    Py_CLEAR(buffer->putters.object);
    Py_CLEAR(buffer->contents);
    Py_CLEAR(buffer->getWait);
    Py_CLEAR(buffer->putWait);
    Py_CLEAR(buffer->dict);
}

static PyObject *bufferReset(PyObject *self, PyObject *)
{
    BufferObject *buffer = asBuffer(self);
    if (!bufferInitialised(buffer))
        return NULL;
    if (monitorResetThree(buffer->contents, buffer->getWait, buffer->putWait) < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyMethodDef bufferMethods[] = {
    {"reset", bufferReset, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static int setMonitor(PyObject *self, PyObject *value, void *closure)
{
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, "cannot delete a monitor");
        return -1;
    }
    if (!bufferInitialised(asBuffer(self)))
        return -1;
    setField(fieldAt(self, closure), value);
    return 0;
}

static PyObject *getLine(PyObject *self, void *closure)
{
    return kernelGetField(self, closure);
}

static PyGetSetDef bufferGetSet[] = {
    {const_cast<char *>("sim"), kernelGetField, NULL, NULL, fieldClosure(offsetof(BufferObject, sim))},
    {const_cast<char *>("name"), kernelGetField, setMonitor, NULL, fieldClosure(offsetof(BufferObject, name))},
    {const_cast<char *>("getters"), getLine, NULL, const_cast<char *>("the entries of the processes waiting to get"),
     fieldClosure(offsetof(BufferObject, getters.object))},
    {const_cast<char *>("putters"), getLine, NULL, const_cast<char *>("the entries of the processes waiting to put"),
     fieldClosure(offsetof(BufferObject, putters.object))},
    {const_cast<char *>("contents"), kernelGetField, setMonitor, const_cast<char *>("a Level of what it holds"),
     fieldClosure(offsetof(BufferObject, contents))},
    {const_cast<char *>("get_wait"), kernelGetField, setMonitor, const_cast<char *>("a Tally of the waits to get"),
     fieldClosure(offsetof(BufferObject, getWait))},
    {const_cast<char *>("put_wait"), kernelGetField, setMonitor, const_cast<char *>("a Tally of the waits to put"),
     fieldClosure(offsetof(BufferObject, putWait))},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject makeBufferType()
{
    PyTypeObject type = kernelTypeHead("vorm.Buffer", "What stores and tanks share: their lines and monitors.",
                                       sizeof(BufferObject), Py_TPFLAGS_BASETYPE);
    type.tp_methods = bufferMethods;
    type.tp_getset = bufferGetSet;
    type.tp_traverse = [](PyObject *self, visitproc visit, void *arg) { return bufferTraverse(asBuffer(self), visit, arg); };
    type.tp_dictoffset = offsetof(BufferObject, dict);
    type.tp_weaklistoffset = offsetof(BufferObject, weakrefs);
    return type;
}

PyTypeObject BufferType = makeBufferType();
