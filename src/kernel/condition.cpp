// first() and all_of(): the command, the composite wait of a process and the
// timers of its branches.
#include "condition.h"

#include "facility.h"
#include "process.h"
#include "simulation.h"

static ConditionObject *asCondition(PyObject *self) { return reinterpret_cast<ConditionObject *>(self); }

// ---------------------------------------------------------------------------
// Timers

static PyObject *timerNew(ProcessObject *process, PyObject *value, PyObject *renege)
{
    PyObject *object = kernelNewRequest(&TimerType, core->timeRequestType);
    if (object == NULL)
        return NULL;
    TimerObject *timer = asTimer(object);
    Py_INCREF(process);
    timer->process = process;
    timer->value = value != NULL ? value : Py_None;
    Py_INCREF(timer->value);
    Py_XINCREF(renege);
    timer->renege = renege;
    setField(&timer->val, asObject(process));
    return object;
}

int timerFire(TimerObject *timer)
{
    ProcessObject *process = timer->process;
    SimulationObject *sim = process->sim;
    sim->now = timer->futureTime;
    PyObject *self = asObject(timer);
    Py_INCREF(process);
    int status = 0;
    if (timer->renege != NULL) {
        // The patience of a seize branch ran out: it leaves the line, and
        // the branch completes with False.
        PyObject *entry = timer->renege;
        Py_INCREF(entry);
        status = facilityRenege(entry);
        Py_DECREF(entry);
        if (status == 0) {
            status = conditionFire(process, self, Py_False, false);
        } else {
            // Leaving the line failed (a line or monitor written in Python
            // raised): the process learns of it at its first() or all_of(),
            // as at a seize of its own, rather than waiting on for good.
            PyObject *type, *error, *traceback;
            compatFetchNormalized(&type, &error, &traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            status = error != NULL ? conditionFire(process, self, error, true) : -1;
            Py_XDECREF(error);
        }
    } else {
        status = conditionFire(process, self, timer->value, false);
    }
    Py_DECREF(process);
    return status;
}

static int timerTraverse(PyObject *self, visitproc visit, void *arg)
{
    int result = core->timeRequestType->tp_traverse(self, visit, arg);
    if (result != 0)
        return result;
    Py_VISIT(asObject(asTimer(self)->process));
    Py_VISIT(asTimer(self)->value);
    Py_VISIT(asTimer(self)->renege);
    return 0;
}

static void timerClearOwn(TimerObject *timer)
{
    PyObject *process = asObject(timer->process);
    timer->process = NULL;
    Py_XDECREF(process);
    Py_CLEAR(timer->value);
    Py_CLEAR(timer->renege);
}

static int timerClear(PyObject *self)
{
    timerClearOwn(asTimer(self));
    return core->timeRequestType->tp_clear(self);
}

static void timerDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    timerClearOwn(asTimer(self));
    core->timeRequestType->tp_dealloc(self);
}

static PyTypeObject makeTimerType()
{
    PyTypeObject type = kernelTypeHead("vorm.Timer", "The timer of a branch of first() or all_of().",
                                       sizeof(TimerObject), 0);
    type.tp_dealloc = timerDealloc;
    type.tp_traverse = timerTraverse;
    type.tp_clear = timerClear;
    type.tp_new = NULL;
    return type;
}

PyTypeObject TimerType = makeTimerType();

// ---------------------------------------------------------------------------
// The composite wait

// One block: the wait, then its branches.
static CompositeWait *compositeNew(ConditionObject *condition)
{
    Py_ssize_t count = PyTuple_GET_SIZE(condition->commands);
    CompositeWait *composite =
        static_cast<CompositeWait *>(PyMem_Malloc(sizeof(CompositeWait) + sizeof(Branch) * (count > 0 ? count : 1)));
    PyObject *values = condition->all ? PyList_New(count) : NULL;
    if (composite == NULL || (condition->all && values == NULL)) {
        PyMem_Free(composite);
        Py_XDECREF(values);
        PyErr_NoMemory();
        return NULL;
    }
    Branch *branches = reinterpret_cast<Branch *>(composite + 1);
    for (Py_ssize_t i = 0; i < count; ++i) {
        branches[i].entry = branches[i].timer = branches[i].value = NULL;
        if (values != NULL) {
            Py_INCREF(Py_None);
            PyList_SET_ITEM(values, i, Py_None);
        }
    }
    Py_INCREF(condition);
    composite->condition = condition;
    composite->count = count;
    composite->pending = 0;
    composite->applying = -1;
    composite->branches = branches;
    composite->values = values;
    composite->outcome = NULL;
    composite->decided = composite->failed = false;
    return composite;
}

void compositeFree(CompositeWait *composite)
{
    if (composite == NULL)
        return;
    for (Py_ssize_t i = 0; i < composite->count; ++i) {
        Py_CLEAR(composite->branches[i].entry);
        Py_CLEAR(composite->branches[i].timer);
        Py_CLEAR(composite->branches[i].value);
    }
    Py_CLEAR(composite->values);
    Py_CLEAR(composite->outcome);
    Py_CLEAR(composite->condition);
    PyMem_Free(composite);
}

int compositeTraverse(CompositeWait *composite, visitproc visit, void *arg)
{
    Py_VISIT(asObject(composite->condition));
    for (Py_ssize_t i = 0; i < composite->count; ++i) {
        Py_VISIT(composite->branches[i].entry);
        Py_VISIT(composite->branches[i].timer);
        Py_VISIT(composite->branches[i].value);
    }
    Py_VISIT(composite->values);
    Py_VISIT(composite->outcome);
    return 0;
}

// Withdraws one branch: its entry from its container, its timer from the
// event list. The branch's references go only once it is empty.
static int withdrawBranch(ProcessObject *process, Branch *branch)
{
    PyObject *entry = branch->entry, *timer = branch->timer;
    branch->entry = branch->timer = NULL;
    Py_CLEAR(branch->value);
    int status = 0;
    if (entry != NULL)
        status = processWithdrawEntry(entry);
    SimulationObject *sim = process->sim;
    if (status == 0 && timer != NULL && asRequest(timer)->queue == sim->events.object)
        status = sim->events.remove(timer);
    Py_XDECREF(entry);
    Py_XDECREF(timer);
    return status;
}

// Every branch is withdrawn even when one fails, with the first error put
// aside meanwhile (the others run code, which must not see it set).
static int withdrawAll(ProcessObject *process, CompositeWait *composite)
{
    PyObject *type = NULL, *value = NULL, *traceback = NULL;
    for (Py_ssize_t i = 0; i < composite->count; ++i) {
        if (withdrawBranch(process, &composite->branches[i]) < 0) {
            if (type == NULL)
                PyErr_Fetch(&type, &value, &traceback);
            else
                PyErr_Clear();
        }
    }
    if (type == NULL)
        return 0;
    PyErr_Restore(type, value, traceback);
    return -1;
}

int conditionCancel(ProcessObject *process)
{
    CompositeWait *composite = process->composite;
    if (composite == NULL)
        return 0;
    process->composite = NULL;
    int status = withdrawAll(process, composite);
    compositeFree(composite);
    return status;
}

// The wait is decided: outcome (owned) is the value it evaluates to, or the
// exception raised inside the process; every other branch is withdrawn.
static int decide(CompositeWait *composite, PyObject *outcome, bool failed)
{
    composite->decided = true;
    composite->failed = failed;
    Py_XSETREF(composite->outcome, outcome);
    return 0;
}

// Resumes a process whose composite wait has been decided. A branch that
// cannot be withdrawn (a line written in Python that raised) does not keep
// the process from resuming: it learns of that error instead of the outcome.
static int resumeDecided(ProcessObject *process)
{
    CompositeWait *composite = process->composite;
    process->composite = NULL;
    int status = 0;
    if (withdrawAll(process, composite) < 0) {
        PyObject *type, *error, *traceback;
        compatFetchNormalized(&type, &error, &traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        if (error == NULL)
            status = -1;
        else
            setFieldOwned(&process->error, error);
    } else if (composite->failed) {
        setField(&process->error, composite->outcome);
    } else {
        setField(&process->resume, composite->outcome);
    }
    if (status == 0)
        status = simulationSchedule(process->sim, process, 0.0, SCHEDULED);
    compositeFree(composite);
    return status;
}

int conditionFire(ProcessObject *process, PyObject *entry, PyObject *value, bool error)
{
    CompositeWait *composite = process->composite;
    if (composite == NULL || composite->decided)
        return 0;
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < composite->count && index < 0; ++i)
        if (composite->branches[i].entry == entry || composite->branches[i].timer == entry)
            index = i;
    if (index < 0)
        return 0; // withdrawn already
    Branch *branch = &composite->branches[index];
    // The branch is over: its entry stays where it went (a server held),
    // its timer leaves the event list.
    PyObject *timer = branch->timer;
    branch->timer = NULL;
    PyObject *done = branch->entry;
    branch->entry = NULL;
    PyObject *held = branch->value;
    branch->value = NULL;
    SimulationObject *sim = process->sim;
    int status = 0;
    if (timer != NULL && timer != entry && asRequest(timer)->queue == sim->events.object)
        status = sim->events.remove(timer);
    Py_XDECREF(timer);
    Py_XDECREF(done);
    Py_XDECREF(held); // the caller passed its own reference of it as value
    if (status < 0)
        return -1;
    if (error) {
        Py_INCREF(value);
        decide(composite, value, true);
    } else if (!composite->condition->all) {
        PyObject *outcome = Py_BuildValue("(nO)", index, value);
        if (outcome == NULL)
            return -1;
        decide(composite, outcome, false);
    } else {
        Py_INCREF(value);
        PyList_SetItem(composite->values, index, value);
        if (--composite->pending > 0 || composite->applying >= 0)
            return 0;
        Py_INCREF(composite->values);
        decide(composite, composite->values, false);
    }
    // While the branches are being applied the process is running: it goes
    // on once they all are, in conditionApply.
    if (composite->applying >= 0)
        return 0;
    return resumeDecided(process);
}

// ---------------------------------------------------------------------------
// Applying

// Whether the process already serves as the timer of one of its branches.
static bool processIsTimer(CompositeWait *composite, ProcessObject *process)
{
    for (Py_ssize_t i = 0; i < composite->count; ++i)
        if (composite->branches[i].timer == asObject(process))
            return true;
    return false;
}

int conditionProcessTimer(ProcessObject *process)
{
    CompositeWait *composite = process->composite;
    PyObject *self = asObject(process);
    for (Py_ssize_t i = 0; composite != NULL && i < composite->count; ++i)
        if (composite->branches[i].timer == self) {
            PyObject *value = composite->branches[i].value != NULL ? composite->branches[i].value : Py_None;
            Py_INCREF(value);
            int status = conditionFire(process, self, value, false);
            Py_DECREF(value);
            return status;
        }
    return 0;
}

double conditionHoldLeft(ProcessObject *process)
{
    CompositeWait *composite = process->composite;
    if (composite == NULL || process->queue != process->sim->events.object || !processIsTimer(composite, process))
        return NAN;
    return process->futureTime - process->sim->now;
}

ApplyResult conditionHold(ProcessObject *process, double delay, PyObject *value)
{
    CompositeWait *composite = process->composite;
    SimulationObject *sim = process->sim;
    if (process->queue == Py_None && !processIsTimer(composite, process)) {
        Branch &branch = composite->branches[composite->applying];
        Py_INCREF(process);
        Py_XSETREF(branch.timer, asObject(process));
        Py_XINCREF(value);
        Py_XSETREF(branch.value, value);
        return simulationSchedule(sim, process, delay, WAITING) < 0 ? APPLY_REFUSED : APPLY_PARKED;
    }
    PyObject *timer = timerNew(process, value, NULL);
    if (timer == NULL)
        return APPLY_REFUSED;
    if (simulationScheduleTimer(process->sim, timer, delay) < 0) {
        Py_DECREF(timer);
        return APPLY_REFUSED;
    }
    // Code run while the timer was made may have decided the wait.
    if (process->composite != composite || composite->applying < 0) {
        Py_DECREF(timer);
        return APPLY_PARKED;
    }
    Py_XSETREF(composite->branches[composite->applying].timer, timer);
    return APPLY_PARKED;
}

int conditionPatience(ProcessObject *process, PyObject *entry, double patience)
{
    CompositeWait *composite = process->composite;
    PyObject *timer = timerNew(process, Py_False, entry);
    if (timer == NULL)
        return -1;
    if (simulationScheduleTimer(process->sim, timer, patience) < 0) {
        Py_DECREF(timer);
        return -1;
    }
    if (process->composite != composite || composite->applying < 0) {
        Py_DECREF(timer);
        return 0;
    }
    Py_XSETREF(composite->branches[composite->applying].timer, timer);
    return 0;
}

ApplyResult conditionApply(ProcessObject *process, ConditionObject *condition, PyObject **value)
{
    SimulationObject *sim = process->sim;
    if (process->composite != NULL) {
        kernelError(hooks.commandError, sim, "first() and all_of() cannot be nested", PyTuple_New(0));
        return APPLY_REFUSED;
    }
    CompositeWait *composite = compositeNew(condition);
    if (composite == NULL)
        return APPLY_REFUSED;
    process->composite = composite;
    if (simulationTraceEvent(sim, asObject(process), condition->all ? "all_of" : "first", asObject(condition)) < 0) {
        conditionCancel(process);
        return APPLY_REFUSED;
    }
    PyObject *commands = condition->commands;
    Py_INCREF(commands);
    ApplyResult result = APPLY_PARKED;
    for (Py_ssize_t i = 0; i < composite->count && !composite->decided; ++i) {
        composite->applying = i;
        PyObject *branchValue = NULL;
        ApplyResult applied = processApply(process, PyTuple_GET_ITEM(commands, i), &branchValue);
        if (process->composite != composite) { // code run by the branch ended the wait
            Py_XDECREF(branchValue);
            Py_DECREF(commands);
            if (applied == APPLY_REFUSED)
                return APPLY_REFUSED;
            kernelError(hooks.stateError, sim, "the wait of process %r ended while it was being set up",
                        Py_BuildValue("(O)", process->name));
            return APPLY_REFUSED;
        }
        if (applied == APPLY_REFUSED) {
            result = APPLY_REFUSED;
            break;
        }
        if (applied == APPLY_PARKED) {
            ++composite->pending;
            continue;
        }
        // The branch completed at once.
        if (!condition->all) {
            PyObject *outcome = Py_BuildValue("(nN)", i, branchValue);
            if (outcome == NULL) {
                result = APPLY_REFUSED;
                break;
            }
            decide(composite, outcome, false);
        } else {
            PyList_SetItem(composite->values, i, branchValue);
        }
    }
    Py_DECREF(commands);
    composite->applying = -1;
    if (result == APPLY_REFUSED) {
        PyObject *type, *error, *traceback;
        PyErr_Fetch(&type, &error, &traceback);
        conditionCancel(process);
        PyErr_Restore(type, error, traceback);
        return APPLY_REFUSED;
    }
    if (!composite->decided && condition->all && composite->pending == 0) {
        Py_INCREF(composite->values);
        decide(composite, composite->values, false);
    }
    if (!composite->decided) {
        process->state = WAITING;
        return APPLY_PARKED;
    }
    // Decided while its branches were applied: the process goes on at once.
    process->composite = NULL;
    int status = withdrawAll(process, composite);
    bool failed = composite->failed;
    PyObject *outcome = composite->outcome;
    Py_INCREF(outcome);
    compositeFree(composite);
    if (status < 0) {
        Py_DECREF(outcome);
        return APPLY_REFUSED;
    }
    if (failed) {
        PyErr_SetObject(asObject(Py_TYPE(outcome)), outcome);
        Py_DECREF(outcome);
        return APPLY_REFUSED;
    }
    *value = outcome;
    return APPLY_GO_ON;
}

// ---------------------------------------------------------------------------
// The command type

// first(*commands) / all_of(*commands)
static PyObject *conditionNew(PyObject *commands, bool all)
{
    if (PyTuple_GET_SIZE(commands) == 0) {
        kernelPlainError(hooks.commandError, Py_None, all ? "all_of() needs at least one command"
                                                          : "first() needs at least one command",
                         PyTuple_New(0));
        return NULL;
    }
    ConditionObject *condition = PyObject_GC_New(ConditionObject, &ConditionType);
    if (condition == NULL)
        return NULL;
    Py_INCREF(commands);
    condition->commands = commands;
    condition->all = all;
    PyObject_GC_Track(condition);
    return asObject(condition);
}

PyObject *conditionFirst(PyObject *, PyObject *commands) { return conditionNew(commands, false); }
PyObject *conditionAllOf(PyObject *, PyObject *commands) { return conditionNew(commands, true); }

static PyObject *getCommands(PyObject *self, void *)
{
    Py_INCREF(asCondition(self)->commands);
    return asCondition(self)->commands;
}

static PyObject *getAll(PyObject *self, void *) { return PyBool_FromLong(asCondition(self)->all); }

static PyGetSetDef conditionGetSet[] = {
    {const_cast<char *>("commands"), getCommands, NULL, NULL, NULL},
    {const_cast<char *>("all"), getAll, NULL, const_cast<char *>("whether every command must complete"), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static int conditionTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(asCondition(self)->commands);
    return 0;
}

static int conditionClear(PyObject *self)
{
    Py_CLEAR(asCondition(self)->commands);
    return 0;
}

static void conditionDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    conditionClear(self);
    PyObject_GC_Del(self);
}

static PyObject *conditionRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.conditionRepr, self, NULL); }

static PyTypeObject makeConditionType()
{
    PyTypeObject type = kernelTypeHead("vorm.Condition",
                                       "yield first(...) / all_of(...): the first of several commands, or all.",
                                       sizeof(ConditionObject), 0);
    type.tp_dealloc = conditionDealloc;
    type.tp_traverse = conditionTraverse;
    type.tp_clear = conditionClear;
    type.tp_repr = conditionRepr;
    type.tp_getset = conditionGetSet;
    return type;
}

PyTypeObject ConditionType = makeConditionType();
