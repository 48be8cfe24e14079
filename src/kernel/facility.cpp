// Facility: seize, grant, release, balking, reneging and preemption.
#include "facility.h"

#include "condition.h"
#include "level.h"
#include "monitor.h"
#include "process.h"
#include "seize.h"
#include "simulation.h"
#include "tally.h"

static FacilityObject *asFacility(PyObject *self) { return reinterpret_cast<FacilityObject *>(self); }

// ---------------------------------------------------------------------------
// Line entries: one way of making them per kind of line

// The fields every entry has, and its place at the head of the chain.
static PyObject *fillEntry(PyObject *entry, FacilityObject *facility, ProcessObject *process)
{
    if (entry == NULL)
        return NULL;
    RequestObject *request = asRequest(entry);
    setField(&request->parent, asObject(process));
    setField(&request->name, facility->name);
    setField(&request->val, asObject(process));
    request->firedTime = process->sim->now;
    setField(&request->target, asObject(facility));
    return entry;
}

static PyObject *linkedEntry(FacilityObject *facility, ProcessObject *process, double)
{
    return fillEntry(kernelNewRequest(core->linkedRequestType), facility, process);
}

static PyObject *priorityEntry(FacilityObject *facility, ProcessObject *process, double priority)
{
    PyObject *entry = kernelNewRequest(core->priorityRequestType);
    if (entry != NULL)
        reinterpret_cast<PriorityRequestObject *>(entry)->priority = priority;
    return fillEntry(entry, facility, process);
}

static PyObject *timedEntry(FacilityObject *facility, ProcessObject *process, double priority)
{
    PyObject *entry = kernelNewRequest(core->timeRequestType);
    if (entry != NULL) {
        asTimeRequest(entry)->priority = priority;
        asTimeRequest(entry)->futureTime = 0.0;
    }
    return fillEntry(entry, facility, process);
}

// A line of a Python subclass makes its entries with its own create, called
// with the positional arguments of its element type.
static PyObject *createdEntry(FacilityObject *facility, ProcessObject *process, double priority, int kind)
{
    PyObject *self = asObject(process), *now = PyFloat_FromDouble(process->sim->now);
    PyObject *level = PyFloat_FromDouble(priority);
    PyObject *entry = NULL, *args = NULL;
    if (now != NULL && level != NULL) {
        PyObject *name = facility->name, *target = asObject(facility);
        if (kind == 0)
            args = Py_BuildValue("(OOOOOOOO)", self, name, Py_None, self, Py_None, now, level, target);
        else if (kind == 1)
            args = Py_BuildValue("(OOOOOOOO)", level, self, name, Py_None, self, Py_None, now, target);
        else
            args = Py_BuildValue("(dOOOOOOOO)", 0.0, level, self, name, Py_None, self, Py_None, now, target);
    }
    PyObject *create = args != NULL ? PyObject_GetAttr(facility->line.object, names.create) : NULL;
    if (create != NULL)
        entry = PyObject_Call(create, args, NULL);
    Py_XDECREF(create);
    Py_XDECREF(args);
    Py_XDECREF(now);
    Py_XDECREF(level);
    if (entry != NULL && !PyObject_TypeCheck(entry, core->linkedRequestType)) {
        PyErr_Format(PyExc_TypeError, "the create() of facility line %.100s made %.100s, not a LinkedRequest",
                     Py_TYPE(facility->line.object)->tp_name, Py_TYPE(entry)->tp_name);
        Py_CLEAR(entry);
    }
    return entry;
}

static PyObject *createdLinked(FacilityObject *f, ProcessObject *p, double priority) { return createdEntry(f, p, priority, 0); }
static PyObject *createdPriority(FacilityObject *f, ProcessObject *p, double priority) { return createdEntry(f, p, priority, 1); }
static PyObject *createdTimed(FacilityObject *f, ProcessObject *p, double priority) { return createdEntry(f, p, priority, 2); }

static MakeEntry entryMaker(PyObject *line)
{
    bool own = core->methodsOf(line) != NULL;
    if (PyObject_TypeCheck(line, core->timeHeapType))
        return own ? timedEntry : createdTimed;
    if (PyObject_TypeCheck(line, core->binaryHeapType))
        return own ? priorityEntry : createdPriority;
    return own ? linkedEntry : createdLinked;
}

// The process's entry for this line, at the head of its chain. New reference.
static PyObject *newEntry(FacilityObject *facility, ProcessObject *process, double priority)
{
    PyObject *entry = facility->makeEntry(facility, process, priority);
    if (entry == NULL)
        return NULL;
    // Until the caller has placed it (the line, the users) and cleared this.
    process->joining = entry;
    if (processRecord(process, entry) < 0) {
        process->joining = NULL;
        Py_DECREF(entry);
        return NULL;
    }
    return entry;
}

// ---------------------------------------------------------------------------
// Counters and monitors

static int bump(PyObject **counter)
{
    long value = 0;
    PyObject *next = compatExactIntValue(*counter, &value) && value < LONG_MAX ? compatIntFromLong(value + 1) : NULL;
    if (next == NULL && !PyErr_Occurred()) {
        PyObject *one = compatIntFromLong(1);
        next = one != NULL ? PyNumber_Add(*counter, one) : NULL;
        Py_XDECREF(one);
    }
    if (next == NULL)
        return -1;
    setFieldOwned(counter, next);
    return 0;
}

// The monitors are the facility's fields, which code may replace: each is
// held while it is updated.
static int monitorAddOf(PyObject **field, double x)
{
    PyObject *monitor = *field;
    Py_INCREF(monitor);
    int status = monitorAdd(monitor, x);
    Py_DECREF(monitor);
    return status;
}

static int monitorSetOf(PyObject **field, Py_ssize_t count)
{
    PyObject *monitor = *field;
    Py_INCREF(monitor);
    int status = monitorSet(monitor, count);
    Py_DECREF(monitor);
    return status;
}

static int traceEntry(FacilityObject *facility, PyObject *entry, const char *what)
{
    SimulationObject *sim = facility->sim;
    if (!simulationTracing(sim))
        return 0;
    return simulationTraceEvent(sim, asRequest(entry)->val, what, asObject(facility));
}

// ---------------------------------------------------------------------------
// Preemption

// Whether entry (among the users of its facility) is the server that the
// process has just been handed: the newest of its facility entries, since it
// has not run since (even when that server was released on its behalf
// meanwhile). A process just handed another facility's server holds this
// one while busy with something else.
static bool justGranted(ProcessObject *process, PyObject *entry)
{
    PyObject *request = process->prev;
    ChainGuard guard(asObject(process));
    while (request != Py_None && PyObject_TypeCheck(request, core->requestType) && guard.step(request)) {
        // (The entry being placed, which preempt() records before it
        // decides, is not one it was handed.)
        if (isFacility(asRequest(request)->target) && request != process->joining)
            return request == entry;
        request = asRequest(request)->prev;
    }
    return false;
}

// Only a holder in the midst of a hold with time left, or one that has just
// been handed this server, can lose it: a holder busy with anything else
// keeps it.
static bool preemptible(SimulationObject *sim, PyObject *owner, PyObject *entry)
{
    if (!isProcess(owner))
        return false;
    ProcessObject *process = asProcess(owner);
    if (process->sim != sim || process->queue != sim->events.object)
        return false;
    if (process->state == GRANTED)
        return justGranted(process, entry);
    return process->state == HOLDING && process->futureTime > sim->now;
}

// The holder of lowest priority (the latest to join among equals). New
// reference, or NULL (no error set when there is none).
static PyObject *preemptionVictim(FacilityObject *facility)
{
    PyObject *iterator = PyObject_GetIter(facility->users.object);
    if (iterator == NULL)
        return NULL;
    PyObject *victim = NULL, *entry;
    while ((entry = PyIter_Next(iterator)) != NULL) {
        if (preemptible(facility->sim, asRequest(entry)->val, entry) &&
            PyObject_TypeCheck(entry, core->priorityRequestType)) {
            PriorityRequestObject *candidate = reinterpret_cast<PriorityRequestObject *>(entry);
            PriorityRequestObject *chosen = reinterpret_cast<PriorityRequestObject *>(victim);
            if (victim == NULL || candidate->priority < chosen->priority ||
                (candidate->priority == chosen->priority && candidate->firedTime >= chosen->firedTime)) {
                Py_XDECREF(victim);
                victim = entry;
                continue;
            }
        }
        Py_DECREF(entry);
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred())
        Py_CLEAR(victim);
    return victim;
}

// Takes a server from the holder of lowest priority when that is lower than
// priority and hands it to seizer (the seize's entry); the holder waits in
// line again. 1 when it did, 0 when not, -1 on error.
static int preempt(FacilityObject *facility, double priority, PyObject *seizer)
{
    PyObject *victim = preemptionVictim(facility);
    if (victim == NULL)
        return PyErr_Occurred() ? -1 : 0;
    double victimPriority = reinterpret_cast<PriorityRequestObject *>(victim)->priority;
    PyObject *owner = asRequest(victim)->val;
    if (!(victimPriority < priority) || !preemptible(facility->sim, owner, victim)) {
        Py_DECREF(victim);
        return 0;
    }
    SimulationObject *sim = facility->sim;
    ProcessObject *process = asProcess(owner);
    Py_INCREF(process);
    // The holder's entry for the line is made first, since recording it runs
    // code (its name's comparisons): when that fails nothing has changed,
    // and what the code did is seen below.
    PyObject *entry = newEntry(facility, process, victimPriority);
    int status = entry != NULL ? 0 : -1, took = 0;
    if (status == 0 && asRequest(victim)->queue == facility->users.object && preemptible(sim, owner, victim)) {
        // The server passes from the holder to the seize with no code run in
        // between: a grant made meanwhile would hand it out a second time.
        status = facility->users.remove(victim);
        if (status == 0)
            status = facility->users.push(seizer);
        if (status == 0)
            status = simulationUnschedule(sim, process);
        if (status == 0) {
            took = 1;
            if (process->state == HOLDING) {
                process->left = process->futureTime - sim->now;
                process->hasLeft = true;
                process->state = SUSPENDED;
            } else {
                // It had not begun: it simply waits again.
                Py_CLEAR(process->resume);
                process->state = WAITING;
            }
            status = bump(&facility->preempted);
        }
        if (status == 0)
            status = facility->line.push(entry);
        process->joining = NULL;
        if (status < 0 && took) {
            // The holder's entry did not go back in line (a line written in
            // Python refused it, a counter could not count): rather than
            // stay in no list at all, the holder learns of the error at the
            // yield where it held, its server gone; the seize has it.
            PyObject *type, *error, *traceback;
            compatFetchNormalized(&type, &error, &traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            if (error != NULL) {
                process->hasLeft = false;
                setFieldOwned(&process->error, error);
                status = simulationSchedule(sim, process, 0.0, SCHEDULED);
            }
            if (status == 0)
                status = traceEntry(facility, entry, "preempted");
            Py_XDECREF(entry);
            Py_DECREF(process);
            Py_DECREF(victim);
            return status < 0 ? -1 : took;
        }
        if (status == 0) {
            // The push may have run code (a line written in Python) that
            // ended the holder's wait before it began (an interrupt
            // scheduled it): then the entry leaves the line again.
            if ((process->state == SUSPENDED || process->state == WAITING) && process->queue != sim->events.object &&
                process->waitEntry == NULL && process->composite == NULL)
                processParkEntry(process, entry);
            else
                status = facilityWithdraw(facility, entry);
            if (status == 0)
                status = monitorSetOf(&facility->length, facility->line.size());
        }
        // Its entry among the users has left: the chain keeps one record of
        // the name, as when it is recorded after it has left.
        if (status == 0)
            status = processForgetOlder(process, entry);
        if (status == 0)
            status = traceEntry(facility, entry, "preempted");
    }
    process->joining = NULL;
    Py_XDECREF(entry);
    Py_DECREF(process);
    Py_DECREF(victim);
    return status < 0 ? -1 : took;
}

// ---------------------------------------------------------------------------
// Seize

// The server is the process's at once: its seize evaluates to True.
static int servedAtOnce(FacilityObject *facility, PyObject *entry, bool countBusy)
{
    if (facility->users.push(entry) < 0 || monitorAddOf(&facility->wait, 0.0) < 0)
        return -1;
    if (countBusy && monitorSetOf(&facility->busy, facility->users.size()) < 0)
        return -1;
    return traceEntry(facility, entry, "granted");
}

static int grantWaiting(FacilityObject *facility, bool *granted);

static ApplyResult seizeFrom(FacilityObject *facility, ProcessObject *process, PyObject *entry, double priority,
                             double patience, PyObject **value)
{
    SimulationObject *sim = facility->sim;
    // Read now: making the entry may have run code that changed them.
    if (facility->users.size() < facility->capacity) {
        if (servedAtOnce(facility, entry, true) < 0)
            return APPLY_REFUSED;
        Py_INCREF(Py_True);
        *value = Py_True;
        return APPLY_GO_ON;
    }
    if (facility->preemptive) {
        int took = preempt(facility, priority, entry);
        if (took < 0)
            return APPLY_REFUSED;
        if (took > 0) {
            // The code that preempting ran may have freed another server
            // meanwhile: the line is served, as after a push.
            bool granted = false;
            if (monitorAddOf(&facility->wait, 0.0) < 0 || traceEntry(facility, entry, "granted") < 0 ||
                (facility->users.size() < facility->capacity && grantWaiting(facility, &granted) < 0) ||
                (granted && monitorSetOf(&facility->busy, facility->users.size()) < 0))
                return APPLY_REFUSED;
            Py_INCREF(Py_True);
            *value = Py_True;
            return APPLY_GO_ON;
        }
    }
    if (facility->limit >= 0 && facility->line.size() >= facility->limit) {
        if (bump(&facility->balked) < 0 || traceEntry(facility, entry, "balked") < 0)
            return APPLY_REFUSED;
        Py_INCREF(Py_False);
        *value = Py_False;
        return APPLY_GO_ON;
    }
    if (facility->line.push(entry) < 0)
        return APPLY_REFUSED;
    processParkEntry(process, entry);
    process->state = WAITING;
    if (monitorSetOf(&facility->length, facility->line.size()) < 0)
        return APPLY_REFUSED;
    // The push or the monitor may have run code that freed a server (a line
    // or a monitor written in Python): the line is served now, in its own
    // order, or the entry would wait beside a free server.
    if (facility->users.size() < facility->capacity) {
        bool granted = false;
        if (grantWaiting(facility, &granted) < 0 ||
            (granted && monitorSetOf(&facility->busy, facility->users.size()) < 0))
            return APPLY_REFUSED;
        if (asRequest(entry)->queue != facility->line.object)
            return APPLY_PARKED; // granted: the process resumes with True from the event list
    }
    if (patience == patience) {
        int status = process->composite != NULL ? conditionPatience(process, entry, patience)
                                                : simulationSchedule(sim, process, patience, WAITING);
        if (status < 0)
            return APPLY_REFUSED;
    }
    return APPLY_PARKED;
}

ApplyResult facilitySeize(FacilityObject *facility, ProcessObject *process, double priority, double patience,
                          PyObject **value)
{
    SimulationObject *sim = process->sim;
    if (facility->sim == NULL) {
        PyErr_SetString(PyExc_RuntimeError, "the facility was never initialised");
        return APPLY_REFUSED;
    }
    if (facility->sim != sim) {
        kernelError(hooks.stateError, sim, "cannot seize facility %r of another simulation",
                    Py_BuildValue("(O)", facility->name));
        return APPLY_REFUSED;
    }
    // Held from before the trace: a facility's own plain seize does not own
    // it, and the trace may let go of every other reference.
    Py_INCREF(facility);
    ApplyResult result = APPLY_REFUSED;
    if (!simulationTracing(sim) || simulationTraceEvent(sim, asObject(process), "seize", asObject(facility)) == 0) {
        PyObject *entry = newEntry(facility, process, priority);
        if (entry != NULL) {
            result = seizeFrom(facility, process, entry, priority, patience, value);
            process->joining = NULL;
            Py_DECREF(entry);
        }
    }
    Py_DECREF(facility);
    return result;
}

// ---------------------------------------------------------------------------
// Grant and release

// Whether the process that entry names waits for it (a process closed, or an
// entry that code pushed into the line by hand, is passed over).
static ProcessObject *waitingOwner(FacilityObject *facility, PyObject *entry)
{
    PyObject *owner = asRequest(entry)->val;
    if (!isProcess(owner) || asProcess(owner)->sim != facility->sim)
        return NULL;
    ProcessObject *process = asProcess(owner);
    if (process->waitEntry == entry)
        return process;
    CompositeWait *composite = process->composite;
    for (Py_ssize_t i = 0; composite != NULL && i < composite->count; ++i)
        if (composite->branches[i].entry == entry)
            return process;
    return NULL;
}

// Hands a server to entry, just taken from the line. 1 when it was granted,
// 0 when nobody waits for it any more, -1 on error.
static int grant(FacilityObject *facility, PyObject *entry)
{
    SimulationObject *sim = facility->sim;
    ProcessObject *process = waitingOwner(facility, entry);
    if (process == NULL) // it left the line all the same: the length follows
        return monitorSetOf(&facility->length, facility->line.size()) < 0 ? -1 : 0;
    Py_INCREF(process);
    int status = facility->users.push(entry);
    if (status == 0) {
        if (process->composite != NULL) {
            status = processFire(process, entry, Py_True, false, SCHEDULED);
        } else if (process->hasLeft) {
            // A preempted hold goes on for the time it had left.
            processTakeEntry(process, entry);
            process->hasLeft = false;
            status = simulationSchedule(sim, process, process->left, HOLDING);
        } else {
            status = processFire(process, entry, Py_True, false, GRANTED);
        }
    }
    if (status == 0)
        status = monitorSetOf(&facility->length, facility->line.size());
    if (status == 0)
        status = monitorAddOf(&facility->wait, sim->now - asRequest(entry)->firedTime);
    if (status == 0)
        status = traceEntry(facility, entry, "granted");
    Py_DECREF(process);
    return status < 0 ? -1 : 1;
}

// Hands free servers to the line while there are both. -1 on error.
static int grantWaiting(FacilityObject *facility, bool *granted)
{
    *granted = false;
    while (facility->line.size() > 0 && facility->users.size() < facility->capacity) {
        PyObject *entry = facility->line.pop();
        if (entry == NULL) {
            // A line written in Python may run code (an interrupt) that
            // empties it before it pops: then nobody is left to serve.
            if (!PyErr_ExceptionMatches(PyExc_IndexError))
                return -1;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            Py_ssize_t left = facility->line.size();
            if (left == 0) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
                break;
            }
            if (left < 0)
                PyErr_Clear();
            PyErr_Restore(type, value, traceback);
            return -1;
        }
        // The pop may have run code that served the line itself (a line
        // written in Python): with no server free any more the entry goes
        // back in line, where its push puts it, rather than beyond the
        // capacity.
        if (facility->users.size() >= facility->capacity && waitingOwner(facility, entry) != NULL) {
            int status = facility->line.push(entry);
            // The push may run code too: an entry whose process stopped
            // waiting meanwhile (an interrupt) leaves again, or it would
            // wait there for nobody.
            if (status == 0 && waitingOwner(facility, entry) == NULL)
                status = facilityWithdraw(facility, entry);
            // Refused back (a push written in Python that raised), the
            // entry is in no line: its process learns of the error rather
            // than wait for good.
            ProcessObject *owner = status < 0 ? waitingOwner(facility, entry) : NULL;
            if (owner != NULL) {
                PyObject *type, *error, *traceback;
                compatFetchNormalized(&type, &error, &traceback);
                Py_XDECREF(type);
                Py_XDECREF(traceback);
                if (error != NULL) {
                    Py_INCREF(owner);
                    status = processFire(owner, entry, error, true, SCHEDULED);
                    Py_DECREF(owner);
                    Py_DECREF(error);
                }
            }
            Py_DECREF(entry);
            if (status < 0)
                return -1;
            continue;
        }
        int status = grant(facility, entry);
        Py_DECREF(entry);
        if (status < 0)
            return -1;
        *granted = *granted || status > 0;
    }
    return 0;
}

// Whether the busy level, when it is the kernel's Level (or a subclass, read
// without code), no longer counts the users: code run in the middle of a
// release or a grant (the trace, a line or monitor written in Python) may
// have set it to a count that the operation then changed.
static bool busyBehind(FacilityObject *facility)
{
    PyObject *busy = facility->busy;
    if (!PyObject_TypeCheck(busy, &LevelType))
        return false;
    return reinterpret_cast<LevelObject *>(busy)->valueDouble != static_cast<double>(facility->users.size());
}

int facilityReleaseEntry(FacilityObject *facility, PyObject *entry)
{
    Py_INCREF(entry);
    int status = facility->users.remove(entry);
    if (status == 0)
        status = traceEntry(facility, entry, "release");
    Py_DECREF(entry);
    bool granted = false;
    if (status == 0)
        status = grantWaiting(facility, &granted);
    // With someone in line the server passes straight on and the busy level
    // stays as it was (unless code run meanwhile set it).
    if (status == 0 && (!granted || busyBehind(facility)))
        status = monitorSetOf(&facility->busy, facility->users.size());
    return status;
}

int facilityWithdraw(FacilityObject *facility, PyObject *entry)
{
    if (asRequest(entry)->queue != facility->line.object || !core->isHeld(entry))
        return 0;
    Py_INCREF(facility);
    int status = facility->line.remove(entry);
    if (status == 0)
        status = monitorSetOf(&facility->length, facility->line.size());
    Py_DECREF(facility);
    return status;
}

int facilityRenege(PyObject *entry)
{
    PyObject *target = asRequest(entry)->target;
    if (!isFacility(target))
        return 0;
    FacilityObject *facility = asFacility(target);
    if (asRequest(entry)->queue != facility->line.object || !core->isHeld(entry))
        return 0;
    Py_INCREF(facility);
    // The level follows the line before the counter, which code may have
    // set to something that cannot count.
    int status = facility->line.remove(entry);
    if (status == 0)
        status = monitorSetOf(&facility->length, facility->line.size());
    if (status == 0)
        status = bump(&facility->reneged);
    if (status == 0)
        status = traceEntry(facility, entry, "reneged");
    Py_DECREF(facility);
    return status;
}

// ---------------------------------------------------------------------------
// Methods

static bool initialised(FacilityObject *facility)
{
    if (facility->sim != NULL)
        return true;
    PyErr_SetString(PyExc_RuntimeError, "the facility was never initialised");
    return false;
}

// seize(priority=0, patience=None): the command that waits for a server.
static PyObject *facilitySeizeMethod(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"priority", "patience", NULL};
    PyObject *slots[8];
    if (!args.unpack("seize", parameters, 0, slots))
        return NULL;
    FacilityObject *facility = asFacility(self);
    if (!initialised(facility))
        return NULL;
    PyObject *priorityObject = slots[0], *patienceObject = slots[1];
    if ((priorityObject == NULL || (PyFloat_CheckExact(priorityObject) && PyFloat_AS_DOUBLE(priorityObject) == 0.0)) &&
        (patienceObject == NULL || patienceObject == Py_None)) {
        Py_INCREF(facility->plainSeize);
        return facility->plainSeize;
    }
    double priority = 0.0, patience = NAN;
    SimulationObject *sim = facility->sim;
    if (priorityObject != NULL && kernelNumber(sim, priorityObject, "seize() priority", true, &priority) < 0)
        return NULL;
    if (patienceObject != NULL && patienceObject != Py_None &&
        kernelNumber(sim, patienceObject, "seize() patience", false, &patience) < 0)
        return NULL;
    if (priority == 0.0 && patience != patience) {
        Py_INCREF(facility->plainSeize);
        return facility->plainSeize;
    }
    return seizeNew(facility, priority, patience, priorityObject != NULL ? priorityObject : Py_None,
                    patienceObject != NULL ? patienceObject : Py_None);
}

// release(process=None): gives back a server that process (the running one
// by default) holds; the first in line gets it at once.
static PyObject *facilityRelease(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"process", NULL};
    PyObject *slots[8];
    if (!args.unpack("release", parameters, 0, slots))
        return NULL;
    FacilityObject *facility = asFacility(self);
    if (!initialised(facility))
        return NULL;
    SimulationObject *sim = facility->sim;
    PyObject *holder = slots[0];
    if (holder == NULL || holder == Py_None) {
        holder = asObject(sim->active);
        if (holder == NULL)
            return kernelPlainError(hooks.stateError, Py_None,
                                    "release() of facility %r outside any process needs the holder",
                                    Py_BuildValue("(O)", facility->name));
    }
    if (!isProcess(holder))
        return kernelError(hooks.commandError, sim, "release() needs a process, not %r", Py_BuildValue("(O)", holder));
    PyObject *users = facility->users.object;
    PyObject *entry = asProcess(holder)->prev;
    ChainGuard guard(holder);
    while (entry != Py_None && PyObject_TypeCheck(entry, core->requestType) && asRequest(entry)->queue != users &&
           guard.step(entry))
        entry = asRequest(entry)->prev;
    if (entry == Py_None || !PyObject_TypeCheck(entry, core->requestType) || asRequest(entry)->queue != users)
        return kernelPlainError(hooks.stateError, holder, "process %r releases facility %r, which it does not hold",
                                Py_BuildValue("(OO)", asProcess(holder)->name, facility->name));
    Py_INCREF(self);
    int status = facilityReleaseEntry(facility, entry);
    Py_DECREF(self);
    if (status < 0)
        return NULL;
    Py_RETURN_NONE;
}

// Restarts the monitors and counters (after a warm-up, say).
static PyObject *facilityReset(PyObject *self, PyObject *)
{
    FacilityObject *facility = asFacility(self);
    if (!initialised(facility))
        return NULL;
    if (monitorResetThree(facility->wait, facility->length, facility->busy) < 0)
        return NULL;
    PyObject *zero = compatIntFromLong(0);
    if (zero == NULL)
        return NULL;
    setField(&facility->balked, zero);
    setField(&facility->reneged, zero);
    setField(&facility->preempted, zero);
    Py_DECREF(zero);
    Py_RETURN_NONE;
}

static PyObject *facilityRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.facilityRepr, self, NULL); }

static PyMethodDef facilityMethods[] = {
    {"seize", VORM_METH(compatKeywordsEntry<facilitySeizeMethod>), VORM_KEYWORDS_FLAGS, NULL},
    {"release", VORM_METH(compatKeywordsEntry<facilityRelease>), VORM_KEYWORDS_FLAGS, NULL},
    {"reset", facilityReset, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

// ---------------------------------------------------------------------------
// Attributes

// An integer of at least least (capacity) or None and an integer of at least
// 0 (limit), as the constructor takes them. -1 on error.
static int facilitySize(FacilityObject *facility, SimulationObject *sim, PyObject *name, PyObject *value,
                        const char *what, Py_ssize_t least, bool noneAllowed, Py_ssize_t *out)
{
    if (noneAllowed && value == Py_None) {
        *out = -1;
        return 0;
    }
    int integral = !PyBool_Check(value) && PyObject_IsInstance(value, hooks.integralType);
    if (integral < 0)
        return -1;
    Py_ssize_t size = 0;
    if (integral) {
        PyObject *index = PyNumber_Index(value);
        if (index == NULL)
            return -1;
        // Clipped to the range of a size: beyond it, as good as no limit.
        size = PyNumber_AsSsize_t(index, NULL);
        Py_DECREF(index);
        if (size == -1 && PyErr_Occurred())
            return -1;
    }
    if (!integral || size < least) {
        if (noneAllowed)
            kernelError(hooks.argumentError, sim, "facility %r %s must be None or an integer of at least %d, got %r",
                        Py_BuildValue("(OsnO)", name, what, least, value));
        else
            kernelError(hooks.argumentError, sim, "facility %r %s must be an integer of at least %d, got %r",
                        Py_BuildValue("(OsnO)", name, what, least, value));
        return -1;
    }
    (void)facility;
    *out = size;
    return 0;
}

// Fields that take any object (the name, the monitors, the counters).
static int setObject(PyObject *self, PyObject *value, void *closure)
{
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, "cannot delete a facility's attribute");
        return -1;
    }
    if (!initialised(asFacility(self)))
        return -1;
    setField(fieldAt(self, closure), value);
    return 0;
}

static PyObject *getLine(PyObject *self, void *) { return kernelGetField(self, fieldClosure(offsetof(FacilityObject, line.object))); }
static PyObject *getUsers(PyObject *self, void *) { return kernelGetField(self, fieldClosure(offsetof(FacilityObject, users.object))); }
static PyObject *getCapacity(PyObject *self, void *) { return compatIntFromLong(static_cast<long>(asFacility(self)->capacity)); }
static PyObject *getPreemptive(PyObject *self, void *) { return PyBool_FromLong(asFacility(self)->preemptive); }

static PyObject *getLimit(PyObject *self, void *)
{
    if (asFacility(self)->limit < 0)
        Py_RETURN_NONE;
    return compatIntFromLong(static_cast<long>(asFacility(self)->limit));
}

static PyObject *getServed(PyObject *self, void *)
{
    FacilityObject *facility = asFacility(self);
    if (!initialised(facility))
        return NULL;
    if (Py_TYPE(facility->wait) == &TallyType)
        return compatIntFromLong(static_cast<long>(reinterpret_cast<TallyObject *>(facility->wait)->count));
    return PyObject_GetAttrString(facility->wait, "count");
}

// A new capacity or limit, validated as the constructor validates it.
static int newSize(PyObject *self, PyObject *value, const char *what, Py_ssize_t least, Py_ssize_t *size)
{
    FacilityObject *facility = asFacility(self);
    if (value == NULL) {
        PyErr_Format(PyExc_TypeError, "cannot delete a facility's %s", what);
        return -1;
    }
    if (!initialised(facility))
        return -1;
    return facilitySize(facility, facility->sim, facility->name, value, what, least, least == 0, size);
}

// Raising the capacity hands the new servers to the line at once.
static int setCapacity(PyObject *self, PyObject *value, void *)
{
    FacilityObject *facility = asFacility(self);
    Py_ssize_t capacity = 0;
    if (newSize(self, value, "capacity", 1, &capacity) < 0)
        return -1;
    facility->capacity = capacity;
    Py_INCREF(self);
    bool granted = false;
    int status = grantWaiting(facility, &granted);
    if (status == 0 && (granted || busyBehind(facility)))
        status = monitorSetOf(&facility->busy, facility->users.size());
    Py_DECREF(self);
    return status;
}

static int setLimit(PyObject *self, PyObject *value, void *)
{
    Py_ssize_t limit = 0;
    if (newSize(self, value, "limit", 0, &limit) < 0)
        return -1;
    asFacility(self)->limit = limit;
    return 0;
}

static PyGetSetDef facilityGetSet[] = {
    {const_cast<char *>("sim"), kernelGetField, NULL, NULL, fieldClosure(offsetof(FacilityObject, sim))},
    {const_cast<char *>("name"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, name))},
    {const_cast<char *>("capacity"), getCapacity, setCapacity, const_cast<char *>("the number of servers"), NULL},
    {const_cast<char *>("limit"), getLimit, setLimit, const_cast<char *>("the longest line a process joins"), NULL},
    {const_cast<char *>("preemptive"), getPreemptive, NULL, NULL, NULL},
    {const_cast<char *>("line"), getLine, NULL, const_cast<char *>("the entries waiting for a server"), NULL},
    {const_cast<char *>("users"), getUsers, NULL, const_cast<char *>("the entries holding a server"), NULL},
    {const_cast<char *>("wait"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, wait))},
    {const_cast<char *>("length"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, length))},
    {const_cast<char *>("busy"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, busy))},
    {const_cast<char *>("balked"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, balked))},
    {const_cast<char *>("reneged"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, reneged))},
    {const_cast<char *>("preempted"), kernelGetField, setObject, NULL, fieldClosure(offsetof(FacilityObject, preempted))},
    {const_cast<char *>("served"), getServed, NULL, const_cast<char *>("servers handed out"), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

// ---------------------------------------------------------------------------
// The type

static PyObject *facilityNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    FacilityObject *facility = asFacility(self);
    facility->capacity = 1;
    facility->limit = -1;
    return self;
}

// A monitor made by calling kind(args...).
static PyObject *makeMonitor(PyTypeObject *kind, const char *format, ...)
{
    va_list values;
    va_start(values, format);
    PyObject *args = Py_VaBuildValue(format, values);
    va_end(values);
    if (args == NULL)
        return NULL;
    PyObject *monitor = PyObject_Call(asObject(kind), args, NULL);
    Py_DECREF(args);
    return monitor;
}

// The fields that the constructor sets, all at once, once every argument has
// been checked.
struct FacilityFields {
    PyObject *name, *line, *users, *wait, *length, *busy, *seize, *zero;
    FacilityFields() : name(NULL), line(NULL), users(NULL), wait(NULL), length(NULL), busy(NULL), seize(NULL), zero(NULL) {}
    ~FacilityFields()
    {
        Py_XDECREF(name);
        Py_XDECREF(line);
        Py_XDECREF(users);
        Py_XDECREF(wait);
        Py_XDECREF(length);
        Py_XDECREF(busy);
        Py_XDECREF(seize);
        Py_XDECREF(zero);
    }
};

// Facility(sim, capacity=1, line=None, name="facility", limit=None,
// preemptive=False, series=False)
static int facilityInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"sim", "capacity", "line", "name", "limit", "preemptive", "series", NULL};
    PyObject *simObject = NULL, *capacityObject = NULL, *line = Py_None, *name = NULL, *limitObject = Py_None;
    PyObject *preemptiveObject = Py_False, *seriesObject = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOOO:Facility", const_cast<char **>(keywords), &simObject,
                                     &capacityObject, &line, &name, &limitObject, &preemptiveObject, &seriesObject))
        return -1;
    FacilityObject *facility = asFacility(self);
    if (facility->sim != NULL) {
        PyErr_SetString(PyExc_TypeError, "a facility is initialised once");
        return -1;
    }
    if (!isSimulation(simObject)) {
        kernelPlainError(hooks.commandError, Py_None, "Facility() needs a Simulation, not %r",
                         Py_BuildValue("(O)", simObject));
        return -1;
    }
    SimulationObject *sim = reinterpret_cast<SimulationObject *>(simObject);
    FacilityFields fields;
    fields.name = name != NULL ? name : compatStringFromString("facility");
    if (name != NULL)
        Py_INCREF(name);
    PyObject *defaultCapacity = capacityObject == NULL ? compatIntFromLong(1) : NULL;
    Py_ssize_t capacity = 0, limit = -1;
    int status = fields.name != NULL && (capacityObject != NULL || defaultCapacity != NULL) ? 0 : -1;
    if (status == 0)
        status = facilitySize(facility, sim, fields.name, capacityObject != NULL ? capacityObject : defaultCapacity,
                              "capacity", 1, false, &capacity);
    Py_XDECREF(defaultCapacity);
    if (status == 0)
        status = facilitySize(facility, sim, fields.name, limitObject, "limit", 0, true, &limit);
    int preemptive = status == 0 ? PyObject_IsTrue(preemptiveObject) : -1;
    int series = preemptive >= 0 ? PyObject_IsTrue(seriesObject) : -1;
    if (series < 0)
        return -1;
    if (line == Py_None) {
        fields.line = kernelNewContainer(core->listFIFOType);
        if (fields.line == NULL)
            return -1;
    } else if (!PyObject_TypeCheck(line, core->containerType)) {
        return kernelErrorInt(hooks.commandError, sim, "facility %r line must be a request container, not %r",
                              Py_BuildValue("(OO)", fields.name, line));
    } else {
        Py_INCREF(line);
        fields.line = line;
        Py_ssize_t waiting = PyObject_Size(line);
        if (waiting < 0)
            return -1;
        if (waiting > 0)
            return kernelErrorInt(hooks.argumentError, sim, "facility %r line must be empty",
                                  Py_BuildValue("(O)", fields.name));
    }
    if (preemptive && !PyObject_TypeCheck(fields.line, core->binaryHeapType))
        return kernelErrorInt(hooks.argumentError, sim, "preemptive facility %r needs a RequestBinaryHeap line",
                              Py_BuildValue("(O)", fields.name));
    if ((fields.users = kernelNewContainer(core->listFIFOType)) == NULL ||
        (fields.zero = compatIntFromLong(0)) == NULL)
        return -1;
    PyObject *keep = series ? Py_True : Py_False;
    fields.wait = makeMonitor(&TallyType, "(NOO)", kernelSuffixed(fields.name, " wait"), simObject, keep);
    fields.length =
        fields.wait != NULL ? makeMonitor(&LevelType, "(ONiO)", simObject, kernelSuffixed(fields.name, " line"), 0, keep) : NULL;
    fields.busy =
        fields.length != NULL ? makeMonitor(&LevelType, "(ONiO)", simObject, kernelSuffixed(fields.name, " busy"), 0, keep) : NULL;
    if (fields.busy == NULL)
        return -1;
    // Code run above (a collection) may have initialised it meanwhile.
    if (facility->sim != NULL) {
        PyErr_SetString(PyExc_TypeError, "a facility is initialised once");
        return -1;
    }
    if (simulationRegister(sim, fields.line) < 0 || simulationRegister(sim, fields.users) < 0)
        return -1;
    if (containerOf(fields.line, &facility->line) < 0 || containerOf(fields.users, &facility->users) < 0)
        return -1;
    facility->makeEntry = entryMaker(fields.line);
    facility->capacity = capacity;
    facility->limit = limit;
    facility->preemptive = preemptive != 0;
    std::swap(facility->name, fields.name);
    std::swap(facility->wait, fields.wait);
    std::swap(facility->length, fields.length);
    std::swap(facility->busy, fields.busy);
    Py_INCREF(fields.zero);
    facility->balked = fields.zero;
    Py_INCREF(fields.zero);
    facility->reneged = fields.zero;
    Py_INCREF(fields.zero);
    facility->preempted = fields.zero;
    Py_INCREF(sim);
    facility->sim = sim;
    facility->plainSeize = seizePlainOf(facility);
    return facility->plainSeize != NULL ? 0 : -1;
}

static int facilityTraverse(PyObject *self, visitproc visit, void *arg)
{
    FacilityObject *facility = asFacility(self);
    Py_VISIT(asObject(facility->sim));
    Py_VISIT(facility->name);
    Py_VISIT(facility->line.object);
    Py_VISIT(facility->users.object);
    Py_VISIT(facility->wait);
    Py_VISIT(facility->length);
    Py_VISIT(facility->busy);
    Py_VISIT(facility->balked);
    Py_VISIT(facility->reneged);
    Py_VISIT(facility->preempted);
    Py_VISIT(facility->plainSeize);
    Py_VISIT(facility->dict);
    return 0;
}

static int facilityClear(PyObject *self)
{
    FacilityObject *facility = asFacility(self);
    PyObject *sim = asObject(facility->sim);
    facility->sim = NULL;
    Py_XDECREF(sim);
    Py_CLEAR(facility->name);
    Py_CLEAR(facility->line.object);
    Py_CLEAR(facility->users.object);
    Py_CLEAR(facility->wait);
    Py_CLEAR(facility->length);
    Py_CLEAR(facility->busy);
    Py_CLEAR(facility->balked);
    Py_CLEAR(facility->reneged);
    Py_CLEAR(facility->preempted);
    PyObject *seize = facility->plainSeize;
    facility->plainSeize = NULL;
    if (seize != NULL) {
        seizeDetach(seize);
        Py_DECREF(seize);
    }
    Py_CLEAR(facility->dict);
    return 0;
}

static void facilityDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (asFacility(self)->weakrefs != NULL)
        PyObject_ClearWeakRefs(self);
    facilityClear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject makeFacilityType()
{
    PyTypeObject type = kernelTypeHead("vorm.Facility",
                                       "Facility(sim, capacity=1, line=None, name='facility', limit=None, "
                                       "preemptive=False, series=False): capacity identical servers, for which "
                                       "processes wait in line.",
                                       sizeof(FacilityObject), Py_TPFLAGS_BASETYPE);
    type.tp_new = facilityNew;
    type.tp_init = facilityInit;
    type.tp_dealloc = facilityDealloc;
    type.tp_traverse = facilityTraverse;
    type.tp_clear = facilityClear;
    type.tp_repr = facilityRepr;
    type.tp_methods = facilityMethods;
    type.tp_getset = facilityGetSet;
    type.tp_dictoffset = offsetof(FacilityObject, dict);
    type.tp_weaklistoffset = offsetof(FacilityObject, weakrefs);
    return type;
}

PyTypeObject FacilityType = makeFacilityType();
