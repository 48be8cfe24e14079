// Process: resuming its generator, applying what it yields, its chain, and
// the ways another process acts on it (interrupt, reactivate).
#include "process.h"

#include "buffer.h"
#include "condition.h"
#include "facility.h"
#include "hold.h"
#include "seize.h"
#include "simulation.h"
#include "transfer.h"
#include "wait.h"

PyObject *parkedMarker = NULL;

const char *processStateName(int state)
{
    static const char *const stateNames[] = {"scheduled", "holding", "waiting", "passive",
                                             "suspended", "finished", "granted"};
    return state >= 0 && state < STATE_COUNT ? stateNames[state] : "unknown";
}

// ---------------------------------------------------------------------------
// The ring of unfinished processes

static void processJoinAlive(SimulationObject *sim, ProcessObject *process)
{
    Py_INCREF(process);
    if (sim->alive == NULL) {
        process->aliveNext = process->alivePrev = process;
        sim->alive = process;
    } else {
        ProcessObject *head = sim->alive, *tail = head->alivePrev;
        process->alivePrev = tail;
        process->aliveNext = head;
        tail->aliveNext = process;
        head->alivePrev = process;
    }
    ++sim->aliveCount;
}

void processLeaveAlive(SimulationObject *sim, ProcessObject *process)
{
    if (process->aliveNext == NULL)
        return;
    if (process->aliveNext == process) {
        sim->alive = NULL;
    } else {
        process->alivePrev->aliveNext = process->aliveNext;
        process->aliveNext->alivePrev = process->alivePrev;
        if (sim->alive == process)
            sim->alive = process->aliveNext;
    }
    process->aliveNext = process->alivePrev = NULL;
    --sim->aliveCount;
    Py_DECREF(process); // the caller keeps one: no code runs
}

// ---------------------------------------------------------------------------
// Creation

ProcessObject *processNew(SimulationObject *sim, PyObject *generator, PyObject *name)
{
    // The time request's own constructor gives the defaults and the
    // identifier; the record is ours, zeroed by the allocator.
    PyObject *object = kernelNewRequest(&ProcessType, core->timeRequestType);
    if (object == NULL)
        return NULL;
    ProcessObject *process = asProcess(object);
    Py_INCREF(sim);
    process->sim = sim;
    Py_INCREF(generator);
    process->generator = generator;
    process->state = SCHEDULED;
    if (compatNeedsBoundSend(generator) && (process->send = PyObject_GetAttr(generator, names.send)) == NULL) {
        Py_DECREF(object);
        return NULL;
    }
    PyObject *label = name;
    if (label == Py_None) {
        label = PyObject_GetAttr(generator, names.name);
        if (label == NULL) {
            PyErr_Clear();
            label = compatStringFromString(Py_TYPE(generator)->tp_name);
            if (label == NULL) {
                Py_DECREF(object);
                return NULL;
            }
        }
    } else {
        Py_INCREF(label);
    }
    setFieldOwned(&process->name, label);
    // Read after the code above (a collection, __name__) could have run.
    if (sim->active != NULL)
        setField(&process->parent, asObject(sim->active));
    processJoinAlive(sim, process);
    return process;
}

// ---------------------------------------------------------------------------
// The chain

// Name equality as Python's == gives it; exact strings compare without code.
static int namesEqual(PyObject *a, PyObject *b)
{
    if (a == b && compatIsExactString(a))
        return 1;
    if (compatIsExactString(a) && compatIsExactString(b))
        return PyObject_RichCompareBool(a, b, Py_EQ);
    PyObject *result = PyObject_RichCompare(a, b, Py_EQ);
    if (result == NULL)
        return -1;
    int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth;
}

// The first older request of request's name that no container holds leaves
// the chain, so that a process that repeats itself keeps one record per
// name. The comparisons may run code: the walk owns what it compares.
static int forgetOlder(ProcessObject *process, PyObject *request)
{
    PyObject *name = asRequest(request)->name;
    PyObject *before = request;
    Py_INCREF(name);
    Py_INCREF(before);
    ChainGuard guard(request);
    int status = 0;
    for (;;) {
        PyObject *older = asRequest(before)->prev;
        if (older == Py_None || !PyObject_TypeCheck(older, core->requestType) || !guard.step(older))
            break;
        Py_INCREF(older);
        int same = 0;
        if (asRequest(older)->queue == Py_None && older != process->joining) {
            same = namesEqual(asRequest(older)->name, name);
            if (same < 0) {
                Py_DECREF(older);
                status = -1;
                break;
            }
        }
        // Re-read: the comparison may have relinked the chain.
        if (same && asRequest(before)->prev == older && asRequest(older)->queue == Py_None) {
            setField(&asRequest(before)->prev, asRequest(older)->prev);
            Py_DECREF(older);
            break;
        }
        Py_DECREF(before);
        before = older;
    }
    Py_DECREF(before);
    Py_DECREF(name);
    return status;
}

int processForgetOlder(ProcessObject *process, PyObject *request)
{
    Py_INCREF(request);
    int status = forgetOlder(process, request);
    Py_DECREF(request);
    return status;
}

int processRecord(ProcessObject *process, PyObject *request)
{
    setField(&asRequest(request)->prev, process->prev);
    setField(&process->prev, request);
    if (asRequest(request)->prev == Py_None)
        return 0;
    Py_INCREF(request);
    int status = forgetOlder(process, request);
    Py_DECREF(request);
    return status;
}

// A finished process lets go of the requests in its chain that point back at
// it and that no container holds, and they let go of the processes they
// waited for (which keep it as their parent): with those links gone nothing
// but its owners keeps it, and reference counting alone frees it.
static void processLetGoOfChain(ProcessObject *process)
{
    PyObject *self = asObject(process);
    PyObject *request = process->prev;
    ChainGuard guard(self);
    Py_XINCREF(request);
    while (request != NULL && request != Py_None && PyObject_TypeCheck(request, core->requestType) &&
           guard.step(request)) {
        RequestObject *record = asRequest(request);
        PyObject *waited = NULL;
        // These two releases free nothing (the caller owns the process).
        if (record->queue == Py_None) {
            if (record->val == self)
                setField(&record->val, Py_None);
            if (record->parent == self)
                setField(&record->parent, Py_None);
            if (record->target != NULL && isProcess(record->target)) {
                waited = record->target;
                Py_INCREF(Py_None);
                record->target = Py_None;
            }
        }
        PyObject *older = record->prev;
        Py_XINCREF(older);
        Py_DECREF(request);
        // May free that process and run code: the walk owns what it goes on with.
        Py_XDECREF(waited);
        request = older;
    }
    Py_XDECREF(request);
}

// ---------------------------------------------------------------------------
// Waiting

void processParkEntry(ProcessObject *process, PyObject *entry)
{
    CompositeWait *composite = process->composite;
    if (composite != NULL && composite->applying >= 0) {
        Branch &branch = composite->branches[composite->applying];
        Py_INCREF(entry);
        Py_XSETREF(branch.entry, entry);
        return;
    }
    Py_INCREF(entry);
    PyObject *old = process->waitEntry;
    process->waitEntry = entry;
    Py_XDECREF(old);
}

bool processTakeEntry(ProcessObject *process, PyObject *entry)
{
    if (process->waitEntry != entry)
        return false;
    process->waitEntry = NULL;
    Py_DECREF(entry); // the caller holds it: no code runs
    return true;
}

int processFire(ProcessObject *process, PyObject *entry, PyObject *value, bool error, int state)
{
    if (process->composite != NULL)
        return conditionFire(process, entry, value, error);
    if (!processTakeEntry(process, entry))
        return 0; // it no longer waits there
    SimulationObject *sim = process->sim;
    if (simulationUnschedule(sim, process) < 0) // its patience timer
        return -1;
    if (error)
        setField(&process->error, value);
    else
        setField(&process->resume, value);
    return simulationSchedule(sim, process, 0.0, state);
}

int processWithdrawEntry(PyObject *entry)
{
    PyObject *target = asRequest(entry)->target;
    if (isFacility(target))
        return facilityWithdraw(reinterpret_cast<FacilityObject *>(target), entry);
    if (isBuffer(target))
        return bufferWithdraw(entry);
    PyObject *queue = asRequest(entry)->queue;
    if (queue == Py_None || !core->isHeld(entry))
        return 0;
    Py_INCREF(queue);
    int status = containerCallIgnore(queue, names.deleteName, entry);
    Py_DECREF(queue);
    return status;
}

// Every step is taken even when one fails (a monitor or a line that raised):
// a step left out would leave the process parked or in the event list, to be
// resumed a second time. The first error is the one returned.
static void keepFirstError(int status, PyObject **type, PyObject **value, PyObject **traceback)
{
    if (status >= 0)
        return;
    if (*type == NULL)
        PyErr_Fetch(type, value, traceback);
    else
        PyErr_Clear();
}

int processCancelWait(ProcessObject *process)
{
    SimulationObject *sim = process->sim;
    PyObject *type = NULL, *value = NULL, *traceback = NULL;
    // Out of the event list and the passive list first, and no longer
    // passive, which runs no code: withdrawing its entries may run code (a
    // line or monitor written in Python) that must not resume it meanwhile
    // (a run of the simulation, a reactivate).
    keepFirstError(simulationUnschedule(sim, process), &type, &value, &traceback);
    if (process->queue == sim->passive.object && core->isHeld(asObject(process)))
        keepFirstError(sim->passive.remove(asObject(process)), &type, &value, &traceback);
    if (process->state == PASSIVE)
        process->state = SCHEDULED;
    if (process->composite != NULL)
        keepFirstError(conditionCancel(process), &type, &value, &traceback);
    PyObject *entry = process->waitEntry;
    if (entry != NULL) {
        process->waitEntry = NULL;
        keepFirstError(processWithdrawEntry(entry), &type, &value, &traceback);
        Py_DECREF(entry);
    }
    process->hasLeft = false;
    if (type == NULL)
        return 0;
    PyErr_Restore(type, value, traceback);
    return -1;
}

// ---------------------------------------------------------------------------
// Ending

// Wakes (or, with error, fails) whoever waits for the process.
static int wakeJoiners(ProcessObject *process, PyObject *value, bool error)
{
    PyObject *joiners = process->joiners;
    if (joiners == NULL)
        return 0;
    process->joiners = NULL;
    Container list;
    int status = containerOf(joiners, &list);
    Py_DECREF(joiners); // list owns it now
    while (status == 0 && list.size() > 0) {
        PyObject *entry = list.pop();
        if (entry == NULL) {
            status = -1;
            break;
        }
        PyObject *owner = asRequest(entry)->val;
        SimulationObject *sim = process->sim;
        if (owner == asObject(sim)) {
            if (error)
                sim->stopping = true; // the error leaves run() by itself
            else
                simulationStop(sim, value);
        } else if (isProcess(owner)) {
            Py_INCREF(owner);
            status = processFire(asProcess(owner), entry, value, error, SCHEDULED);
            Py_DECREF(owner);
        }
        Py_DECREF(entry);
    }
    Py_XDECREF(list.object);
    return status;
}

static void processEnd(ProcessObject *process)
{
    process->state = FINISHED;
    processLeaveAlive(process->sim, process);
    processLetGoOfChain(process);
}

// The generator returned result (owned).
static int processFinish(ProcessObject *process, PyObject *result)
{
    setFieldOwned(&process->val, result);
    processEnd(process);
    if (simulationTraceEvent(process->sim, asObject(process), "finish", result) < 0)
        return -1;
    return wakeJoiners(process, result, false);
}

// An exception escaped from the process (it is set): whoever waits for the
// process learns of it, wrapped in ProcessError unless it is the layer's own,
// and it leaves run().
static int processFail(ProcessObject *process)
{
    PyObject *type, *value, *traceback;
    compatFetchNormalized(&type, &value, &traceback);
    processEnd(process);
    if (value == NULL || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(PyExc_Exception))) {
        PyErr_Restore(type, value, traceback);
        return -1;
    }
    PyObject *raised = value;
    Py_INCREF(raised);
    if (!PyObject_IsInstance(value, hooks.simulationError)) {
        Py_DECREF(raised);
        raised = PyObject_CallFunctionObjArgs(hooks.processError, asObject(process), value, NULL);
        if (raised == NULL) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            return -1;
        }
    }
    if (simulationTraceEvent(process->sim, asObject(process), "fail", value) < 0 ||
        wakeJoiners(process, raised, true) < 0) {
        Py_DECREF(raised);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return -1;
    }
    if (raised != value) {
        compatSetContext(raised, value);
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(raised)), raised);
        Py_DECREF(raised);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return -1;
    }
    Py_DECREF(raised);
    PyErr_Restore(type, value, traceback);
    return -1;
}

int processClose(ProcessObject *process)
{
    if (process->state == FINISHED)
        return 0;
    processEnd(process);
    PyObject *joiners = process->joiners;
    process->joiners = NULL;
    int status = joiners != NULL ? containerCallIgnore(joiners, names.clear, NULL) : 0;
    Py_XDECREF(joiners);
    if (status == 0 && process->generator != NULL)
        status = containerCallIgnore(process->generator, names.close, NULL);
    return status;
}

// ---------------------------------------------------------------------------
// Commands

// A delay, patience or other number given to a command.
static ApplyResult refuse() { return APPLY_REFUSED; }

static ApplyResult applyHold(ProcessObject *process, double delay, PyObject *value, PyObject *traced)
{
    SimulationObject *sim = process->sim;
    if (process->composite != NULL)
        return conditionHold(process, delay, value);
    if (value != NULL)
        setField(&process->resume, value);
    if (simulationSchedule(sim, process, delay, HOLDING) < 0)
        return refuse();
    if (simulationTracing(sim) && simulationTraceEvent(sim, asObject(process), "hold", traced) < 0)
        return refuse();
    return APPLY_PARKED;
}

// A yielded number that is not an exact non-negative float: an int, a float
// subclass, another real number, or a mistake.
static ApplyResult applyNumber(ProcessObject *process, PyObject *command, bool *isNumber)
{
    SimulationObject *sim = process->sim;
    *isNumber = compatIsIntOrFloat(command);
    if (!*isNumber) {
        // Another kind of real number (a Fraction, numpy's floats) is a delay
        // too, but a command with _apply is not asked: that check costs.
        if (PyObject_HasAttr(command, names.apply))
            return APPLY_GO_ON;
        int real = PyObject_IsInstance(command, hooks.realType);
        if (real < 0)
            return refuse();
        *isNumber = real && !PyBool_Check(command);
        if (!*isNumber)
            return APPLY_GO_ON;
    }
    double delay = 0.0;
    if (kernelNumber(sim, command, "hold() delay", false, &delay) < 0)
        return refuse();
    return applyHold(process, delay, NULL, command);
}

// A command that the kernel does not know: its own _apply parks the process
// (returning the parked marker) or gives the value to go on with.
static ApplyResult applyPython(ProcessObject *process, PyObject *command, PyObject **value)
{
    PyObject *apply = PyObject_GetAttr(command, names.apply);
    if (apply == NULL) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return refuse();
        PyErr_Clear();
        kernelPlainError(hooks.commandError, asObject(process), "process %r yielded %r, which is not a command",
                         Py_BuildValue("(OO)", process->name, command));
        return refuse();
    }
    PyObject *result = PyObject_CallFunctionObjArgs(apply, asObject(process->sim), asObject(process), NULL);
    Py_DECREF(apply);
    if (result == NULL)
        return refuse();
    if (result == parkedMarker) {
        Py_DECREF(result);
        return APPLY_PARKED;
    }
    *value = result;
    return APPLY_GO_ON;
}

ApplyResult processApply(ProcessObject *process, PyObject *command, PyObject **value)
{
    PyTypeObject *type = Py_TYPE(command);
    if (type == &SeizeType)
        return seizeApply(process, reinterpret_cast<SeizeObject *>(command), value);
    if (type == &HoldType) {
        HoldObject *hold = reinterpret_cast<HoldObject *>(command);
        return applyHold(process, hold->delay, hold->value, command);
    }
    if (type == &ConditionType)
        return conditionApply(process, reinterpret_cast<ConditionObject *>(command), value);
    if (type == &TransferType)
        return transferApply(process, reinterpret_cast<TransferObject *>(command), value);
    if (type == &WaitType)
        return waitApply(process, reinterpret_cast<WaitObject *>(command), value);
    if (PyFloat_CheckExact(command) && PyFloat_AS_DOUBLE(command) >= 0.0)
        return applyHold(process, PyFloat_AS_DOUBLE(command), NULL, command);
    bool isNumber = false;
    ApplyResult result = applyNumber(process, command, &isNumber);
    if (isNumber || result == APPLY_REFUSED)
        return result;
    return applyPython(process, command, value);
}

// ---------------------------------------------------------------------------
// Running

// Its patience ran out first: the seize gives up (evaluates to False).
static PyObject *processExpire(ProcessObject *process)
{
    PyObject *entry = process->waitEntry;
    process->state = SCHEDULED;
    if (entry == NULL) {
        Py_RETURN_FALSE;
    }
    process->waitEntry = NULL;
    int status = facilityRenege(entry);
    Py_DECREF(entry);
    if (status < 0)
        return NULL;
    Py_RETURN_FALSE;
}

int processStep(ProcessObject *process)
{
    SimulationObject *sim = process->sim;
    sim->now = process->futureTime;
    Py_INCREF(process);
    ProcessObject *previous = sim->active;
    sim->active = process;
    Py_XDECREF(previous); // may run code: the process is active already
    PyObject *value = process->resume;
    process->resume = NULL;
    if (value == NULL) {
        value = Py_None;
        Py_INCREF(value);
    }
    if (process->state == WAITING && process->composite != NULL) {
        // The timer of a hold branch: the branch completes, and the process
        // resumes once its wait is decided.
        Py_DECREF(value);
        return conditionProcessTimer(process);
    }
    if (process->state == WAITING) {
        Py_DECREF(value);
        if ((value = processExpire(process)) == NULL) {
            // Leaving the line failed (a line or monitor written in Python
            // raised): the process learns of it at its seize, rather than
            // the error leaving run() with the process in no list at all.
            PyObject *type, *error, *traceback;
            compatFetchNormalized(&type, &error, &traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            if (error == NULL)
                return -1;
            setFieldOwned(&process->error, error);
            value = Py_None;
            Py_INCREF(value);
        }
    }
    for (;;) {
        if (process->state == FINISHED || process->generator == NULL) {
            Py_DECREF(value);
            return 0; // code run above ended it (close() of a collected cycle)
        }
        PyObject *yielded = NULL;
        CompatSendResult sent;
        PyObject *generator = process->generator;
        Py_INCREF(generator);
        if (process->error != NULL) {
            PyObject *error = process->error;
            process->error = NULL;
            sent = compatThrowIn(generator, names.throwName, error, &yielded);
            Py_DECREF(error);
        } else {
            sent = compatResume(generator, process->send, value, &yielded);
        }
        Py_DECREF(generator);
        Py_DECREF(value);
        if (sent == COMPAT_SEND_RETURN)
            return processFinish(process, yielded);
        if (sent == COMPAT_SEND_ERROR)
            return processFail(process);
        value = NULL;
        ApplyResult applied = processApply(process, yielded, &value);
        Py_DECREF(yielded);
        if (applied == APPLY_PARKED)
            return 0;
        if (applied == APPLY_REFUSED) {
            // The process learns of its mistake where it made it, at once.
            // Whatever the command parked before it failed (a trace, a
            // monitor or a line that raised afterwards) is withdrawn first:
            // the process runs on, and nothing may resume it a second time.
            PyObject *type, *error, *traceback;
            compatFetchNormalized(&type, &error, &traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            if (error == NULL)
                return -1;
            if (processCancelWait(process) < 0)
                PyErr_WriteUnraisable(asObject(process)); // the process learns of the first error only
            process->state = SCHEDULED; // running, as after an expired patience: not passive, not waiting
            setFieldOwned(&process->error, error);
            value = Py_None;
            Py_INCREF(value);
        }
    }
}

// ---------------------------------------------------------------------------
// Methods

static PyObject *processRecordMethod(PyObject *self, PyObject *request)
{
    if (!PyObject_TypeCheck(request, core->requestType)) {
        PyErr_SetString(PyExc_TypeError, "record() needs a Request");
        return NULL;
    }
    if (processRecord(asProcess(self), request) < 0)
        return NULL;
    Py_INCREF(request);
    return request;
}

static PyObject *processMark(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"name", "val", NULL};
    PyObject *name = NULL, *val = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:mark", const_cast<char **>(keywords), &name, &val))
        return NULL;
    ProcessObject *process = asProcess(self);
    PyObject *request = kernelNewRequest(core->requestType);
    if (request == NULL)
        return NULL;
    setField(&asRequest(request)->parent, self);
    setField(&asRequest(request)->name, name);
    setField(&asRequest(request)->val, val);
    asRequest(request)->firedTime = process->sim != NULL ? process->sim->now : -1.0;
    if (processRecord(process, request) < 0) {
        Py_DECREF(request);
        return NULL;
    }
    return request;
}

// Interrupt(cause, left), made as its constructor would make it without a
// call of its Python __init__, which costs more than the rest of an
// interrupt: the exception's own constructor stores the arguments, and the
// two attributes are stored here.
static PyObject *interruptFor(PyObject *cause, PyObject *left)
{
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(hooks.interrupt);
    PyObject *args = PyTuple_Pack(1, cause);
    PyObject *error = args != NULL ? type->tp_new(type, args, NULL) : NULL;
    Py_XDECREF(args);
    if (error != NULL && (PyObject_SetAttr(error, names.cause, cause) < 0 || PyObject_SetAttr(error, names.left, left) < 0))
        Py_CLEAR(error);
    return error;
}

// interrupt(): ends a hold at once, which evaluates to the time it had left.
// interrupt(cause): the process, whatever it waits for, stops waiting and
// Interrupt(cause) is raised inside it at its yield.
// The simulation of a process that another acts on; NULL with the error set
// for one that the collector has cleared.
static SimulationObject *simulationOf(ProcessObject *process)
{
    if (process->sim == NULL)
        PyErr_SetString(PyExc_RuntimeError, "the process belongs to no simulation");
    return process->sim;
}

static PyObject *processInterrupt(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"cause", NULL};
    PyObject *slots[8];
    if (!args.unpack("interrupt", parameters, 0, slots))
        return NULL;
    PyObject *cause = slots[0];
    ProcessObject *process = asProcess(self);
    SimulationObject *sim = simulationOf(process);
    if (sim == NULL)
        return NULL;
    bool scheduled = process->queue == sim->events.object;
    if (cause == NULL) {
        if (process->state != HOLDING || !scheduled || process->composite != NULL)
            return kernelError(hooks.stateError, sim, "cannot interrupt process %r, which is not holding",
                               Py_BuildValue("(O)", process->name));
        double left = process->futureTime - sim->now;
        if (simulationUnschedule(sim, process) < 0)
            return NULL;
        PyObject *leftObject = PyFloat_FromDouble(left);
        if (leftObject == NULL)
            return NULL;
        setFieldOwned(&process->resume, leftObject);
        if (simulationSchedule(sim, process, 0.0, SCHEDULED) < 0 ||
            simulationTraceEvent(sim, self, "interrupt", Py_None) < 0)
            return NULL;
        Py_RETURN_NONE;
    }
    int state = process->state;
    bool waiting = process != sim->active && state != FINISHED &&
                   ((scheduled && (state == HOLDING || state == WAITING)) ||
                    (!scheduled && (process->waitEntry != NULL || process->composite != NULL || state == PASSIVE ||
                                    state == SUSPENDED)));
    if (!waiting)
        return kernelError(hooks.stateError, sim, "cannot interrupt process %r, which is not waiting",
                           Py_BuildValue("(O)", process->name));
    PyObject *left = Py_None;
    Py_INCREF(left);
    double branchLeft = conditionHoldLeft(process);
    if (scheduled && state == HOLDING)
        setFieldOwned(&left, PyFloat_FromDouble(process->futureTime - sim->now));
    else if (branchLeft == branchLeft)
        setFieldOwned(&left, PyFloat_FromDouble(branchLeft));
    else if (state == SUSPENDED && process->hasLeft)
        setFieldOwned(&left, PyFloat_FromDouble(process->left));
    if (left == NULL)
        return NULL;
    Py_INCREF(self);
    PyObject *error = interruptFor(cause, left);
    Py_DECREF(left);
    PyObject *result = NULL;
    // Making the exception ran code: only a process still waiting is
    // interrupted. A wait that cannot be withdrawn (a line written in Python
    // that raised) does not keep it from being interrupted: the interrupter
    // learns of that error afterwards.
    if (error != NULL && (process->state == FINISHED || process == sim->active)) {
        kernelError(hooks.stateError, sim, "cannot interrupt process %r, which is not waiting",
                    Py_BuildValue("(O)", process->name));
    } else if (error != NULL) {
        PyObject *type = NULL, *value = NULL, *traceback = NULL;
        if (processCancelWait(process) < 0)
            PyErr_Fetch(&type, &value, &traceback);
        setField(&process->error, error);
        if (simulationSchedule(sim, process, 0.0, SCHEDULED) == 0 &&
            simulationTraceEvent(sim, self, "interrupt", cause) == 0) {
            result = Py_None;
            Py_INCREF(result);
        }
        if (type != NULL && result != NULL) {
            Py_CLEAR(result);
            PyErr_Restore(type, value, traceback);
        } else if (type != NULL) {
            Py_DECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
    }
    Py_XDECREF(error);
    Py_DECREF(self);
    return result;
}

static PyObject *processReactivate(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"value", "delay", NULL};
    PyObject *slots[8];
    if (!args.unpack("reactivate", parameters, 0, slots))
        return NULL;
    ProcessObject *process = asProcess(self);
    SimulationObject *sim = simulationOf(process);
    if (sim == NULL)
        return NULL;
    if (process->state != PASSIVE)
        return kernelError(hooks.stateError, sim, "cannot reactivate process %r, which is not passive",
                           Py_BuildValue("(O)", process->name));
    double delay = 0.0;
    if (slots[1] != NULL && kernelNumber(sim, slots[1], "reactivate() delay", false, &delay) < 0)
        return NULL;
    if (process->state != PASSIVE) // the conversion ran code
        return kernelError(hooks.stateError, sim, "cannot reactivate process %r, which is not passive",
                           Py_BuildValue("(O)", process->name));
    if (process->queue == sim->passive.object && core->isHeld(self) && sim->passive.remove(self) < 0)
        return NULL;
    setField(&process->resume, slots[0] != NULL ? slots[0] : Py_None);
    if (simulationSchedule(sim, process, delay, SCHEDULED) < 0 ||
        simulationTraceEvent(sim, self, "reactivate", slots[0] != NULL ? slots[0] : Py_None) < 0)
        return NULL;
    Py_RETURN_NONE;
}

// releaseAllFacilities(*facilities): every server the process holds (of the
// facilities given, or of all); how many.
static PyObject *processReleaseAll(PyObject *self, PyObject *facilities)
{
    PyObject *held = PyList_New(0);
    if (held == NULL)
        return NULL;
    PyObject *request = asProcess(self)->prev;
    ChainGuard guard(self);
    while (request != Py_None && PyObject_TypeCheck(request, core->requestType) && guard.step(request)) {
        PyObject *target = asRequest(request)->target;
        if (isFacility(target) && asRequest(request)->queue == reinterpret_cast<FacilityObject *>(target)->users.object &&
            PyList_Append(held, request) < 0) {
            Py_DECREF(held);
            return NULL;
        }
        request = asRequest(request)->prev;
    }
    long released = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held); ++i) {
        request = PyList_GET_ITEM(held, i);
        PyObject *target = asRequest(request)->target;
        if (!isFacility(target))
            continue;
        FacilityObject *facility = reinterpret_cast<FacilityObject *>(target);
        int chosen = PyTuple_GET_SIZE(facilities) == 0 ? 1 : PySequence_Contains(facilities, target);
        if (chosen < 0) {
            Py_DECREF(held);
            return NULL;
        }
        // Re-read: releasing the entries before may have run code.
        if (!chosen || asRequest(request)->queue != facility->users.object)
            continue;
        Py_INCREF(facility);
        int status = facilityReleaseEntry(facility, request);
        Py_DECREF(facility);
        if (status < 0) {
            Py_DECREF(held);
            return NULL;
        }
        ++released;
    }
    Py_DECREF(held);
    return compatIntFromLong(released);
}

// _wait_in(container, target): parks the process with an entry in container
// until something fires it; the entry names target and joins its chain.
static PyObject *processWaitIn(PyObject *self, PyObject *args)
{
    PyObject *container = NULL, *target = NULL;
    if (!PyArg_UnpackTuple(args, "_wait_in", 2, 2, &container, &target))
        return NULL;
    ProcessObject *process = asProcess(self);
    SimulationObject *sim = process->sim;
    if (sim == NULL || sim->active != process) {
        PyErr_SetString(PyExc_RuntimeError, "_wait_in() is for the running process");
        return NULL;
    }
    if (!PyObject_TypeCheck(container, core->containerType)) {
        PyErr_SetString(PyExc_TypeError, "_wait_in() needs a request container");
        return NULL;
    }
    PyObject *name = PyObject_GetAttr(target, names.nameAttr);
    if (name == NULL)
        return NULL;
    ApplyResult parked = processParkIn(process, container, target, name, NULL);
    Py_DECREF(name);
    if (parked == APPLY_REFUSED)
        return NULL;
    Py_INCREF(parkedMarker);
    return parkedMarker;
}

ApplyResult processParkIn(ProcessObject *process, PyObject *container, PyObject *target, PyObject *name,
                          PyObject **placed)
{
    SimulationObject *sim = process->sim;
    PyObject *self = asObject(process);
    PyObject *entry = kernelNewRequest(core->linkedRequestType);
    if (entry == NULL)
        return APPLY_REFUSED;
    setField(&asRequest(entry)->parent, self);
    setField(&asRequest(entry)->name, name);
    setField(&asRequest(entry)->val, self);
    asRequest(entry)->firedTime = sim->now;
    setField(&asRequest(entry)->target, target);
    Py_INCREF(container);
    ApplyResult result = APPLY_REFUSED;
    process->joining = entry;
    int stored = processRecord(process, entry) == 0 && containerCallIgnore(container, names.push, entry) == 0;
    process->joining = NULL;
    if (stored) {
        processParkEntry(process, entry);
        process->state = WAITING;
        if (simulationTraceEvent(sim, self, "wait", target) == 0)
            result = APPLY_PARKED;
    }
    Py_DECREF(container);
    if (result == APPLY_PARKED && placed != NULL)
        *placed = entry;
    else
        Py_DECREF(entry);
    return result;
}

// _passivate(): parks the process in the passive list.
static PyObject *processPassivate(PyObject *self, PyObject *)
{
    ProcessObject *process = asProcess(self);
    SimulationObject *sim = process->sim;
    if (sim == NULL || sim->active != process) {
        PyErr_SetString(PyExc_RuntimeError, "_passivate() is for the running process");
        return NULL;
    }
    if (process->composite != NULL && process->composite->applying >= 0)
        return kernelError(hooks.commandError, sim, "passivate() cannot be a branch of first() or all_of()",
                           PyTuple_New(0));
    process->state = PASSIVE;
    if (sim->passive.push(self) < 0 || simulationTraceEvent(sim, self, "passivate", Py_None) < 0)
        return NULL;
    Py_INCREF(parkedMarker);
    return parkedMarker;
}

PyObject *processJoiners(ProcessObject *process)
{
    if (process->joiners == NULL) {
        PyObject *joiners = kernelNewContainer(core->listFIFOType);
        if (joiners == NULL)
            return NULL;
        if (process->joiners == NULL) // making it may have run code
            process->joiners = joiners;
        else
            Py_DECREF(joiners);
    }
    return process->joiners;
}

// _joiners(): the list of those who wait for the process.
static PyObject *processJoinersMethod(PyObject *self, PyObject *)
{
    PyObject *joiners = processJoiners(asProcess(self));
    Py_XINCREF(joiners);
    return joiners;
}

static PyObject *processRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.processRepr, self, NULL); }

static PyMethodDef processMethods[] = {
    {"record", processRecordMethod, METH_O, NULL},
    {"mark", VORM_METH(processMark), METH_VARARGS | METH_KEYWORDS, NULL},
    {"interrupt", VORM_METH(compatKeywordsEntry<processInterrupt>), VORM_KEYWORDS_FLAGS, NULL},
    {"reactivate", VORM_METH(compatKeywordsEntry<processReactivate>), VORM_KEYWORDS_FLAGS, NULL},
    {"releaseAllFacilities", processReleaseAll, METH_VARARGS, NULL},
    {"_wait_in", processWaitIn, METH_VARARGS, NULL},
    {"_passivate", processPassivate, METH_NOARGS, NULL},
    {"_joiners", processJoinersMethod, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

// ---------------------------------------------------------------------------
// Attributes

static PyObject *getSim(PyObject *self, void *)
{
    PyObject *sim = orNone(asProcess(self)->sim);
    Py_INCREF(sim);
    return sim;
}

static PyObject *getGenerator(PyObject *self, void *)
{
    PyObject *generator = orNone(asProcess(self)->generator);
    Py_INCREF(generator);
    return generator;
}

static PyObject *getFinished(PyObject *self, void *) { return PyBool_FromLong(asProcess(self)->state == FINISHED); }
static PyObject *getPassive(PyObject *self, void *) { return PyBool_FromLong(asProcess(self)->state == PASSIVE); }
static PyObject *getState(PyObject *self, void *) { return compatStringFromString(processStateName(asProcess(self)->state)); }

static PyObject *getResult(PyObject *self, void *)
{
    PyObject *result = asProcess(self)->state == FINISHED ? asProcess(self)->val : Py_None;
    Py_INCREF(result);
    return result;
}

// When it next wakes: its time in the event list, or None when it is not there.
static PyObject *getWakes(PyObject *self, void *)
{
    ProcessObject *process = asProcess(self);
    if (process->sim == NULL || process->queue != process->sim->events.object)
        Py_RETURN_NONE;
    return PyFloat_FromDouble(process->futureTime);
}

static PyObject *getReadOnlyDouble(PyObject *self, void *closure)
{
    return PyFloat_FromDouble(closure != NULL ? asProcess(self)->priority : asProcess(self)->futureTime);
}

static PyObject *getQueue(PyObject *self, void *)
{
    Py_INCREF(asProcess(self)->queue);
    return asProcess(self)->queue;
}

static PyGetSetDef processGetSet[] = {
    {const_cast<char *>("sim"), getSim, NULL, const_cast<char *>("its simulation"), NULL},
    {const_cast<char *>("generator"), getGenerator, NULL, const_cast<char *>("the generator it runs"), NULL},
    {const_cast<char *>("finished"), getFinished, NULL, const_cast<char *>("whether it has ended"), NULL},
    {const_cast<char *>("passive"), getPassive, NULL, const_cast<char *>("whether it waits to be reactivated"), NULL},
    {const_cast<char *>("state"), getState, NULL, const_cast<char *>("what it is doing"), NULL},
    {const_cast<char *>("result"), getResult, NULL, const_cast<char *>("what its generator returned"), NULL},
    {const_cast<char *>("wakes"), getWakes, NULL, const_cast<char *>("when it next wakes, or None"), NULL},
    // The kernel places a process: these are read-only on a process.
    {const_cast<char *>("futureTime"), getReadOnlyDouble, NULL, const_cast<char *>("futureTime"), NULL},
    {const_cast<char *>("priority"), getReadOnlyDouble, NULL, const_cast<char *>("priority"), const_cast<char *>("")},
    {const_cast<char *>("queue"), getQueue, NULL, const_cast<char *>("queue"), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

// ---------------------------------------------------------------------------
// The type

static int processTraverse(PyObject *self, visitproc visit, void *arg)
{
    ProcessObject *process = asProcess(self);
    int result = core->timeRequestType->tp_traverse(self, visit, arg);
    if (result != 0)
        return result;
    Py_VISIT(asObject(process->sim));
    Py_VISIT(process->generator);
    Py_VISIT(process->send);
    Py_VISIT(process->resume);
    Py_VISIT(process->error);
    Py_VISIT(process->joiners);
    Py_VISIT(process->waitEntry);
    if (process->composite != NULL)
        return compositeTraverse(process->composite, visit, arg);
    return 0;
}

static void processClearOwn(ProcessObject *process)
{
    CompositeWait *composite = process->composite;
    process->composite = NULL;
    compositeFree(composite);
    Py_CLEAR(process->generator);
    Py_CLEAR(process->send);
    Py_CLEAR(process->resume);
    Py_CLEAR(process->error);
    Py_CLEAR(process->joiners);
    Py_CLEAR(process->waitEntry);
    SimulationObject *sim = process->sim;
    process->sim = NULL;
    Py_XDECREF(sim);
}

static int processClearSlot(PyObject *self)
{
    processClearOwn(asProcess(self));
    return core->timeRequestType->tp_clear(self);
}

static void processDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    processClearOwn(asProcess(self));
    core->timeRequestType->tp_dealloc(self);
}

static PyTypeObject makeProcessType()
{
    PyTypeObject type = kernelTypeHead("vorm.Process", "A running generator; Simulation.start makes one.",
                                       sizeof(ProcessObject), 0);
    type.tp_dealloc = processDealloc;
    type.tp_traverse = processTraverse;
    type.tp_clear = processClearSlot;
    type.tp_repr = processRepr;
    type.tp_methods = processMethods;
    type.tp_getset = processGetSet;
    // Made by Simulation.start only: no constructor of its own, and the
    // request initialiser of its base does not apply.
    type.tp_new = NULL;
    type.tp_init = [](PyObject *, PyObject *, PyObject *) {
        PyErr_SetString(PyExc_TypeError, "a Process is made by Simulation.start() and cannot be re-initialised");
        return -1;
    };
    return type;
}

PyTypeObject ProcessType = makeProcessType();
