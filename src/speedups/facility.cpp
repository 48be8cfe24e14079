// Facility._seize, release, _release_entry and _grant, and the updates of
// the facility's monitors. The common cases run here; a subclass, a
// preemptive facility, a seize with patience, a preempted process and a
// monitor that keeps its series go to the Python methods, which also raise
// every error.
#include "speedups.h"

extern PyObject *pureSeize, *pureRelease, *pureReleaseEntry, *pureGrant, *forgetOlder, *renegeMarker;

// ---------------------------------------------------------------------------
// Monitors: Tally.add and Level.set, the same operations in the same order.

namespace {

bool exactFloat(PyObject *object, double *out)
{
    if (object == NULL || !PyFloat_CheckExact(object))
        return false;
    *out = PyFloat_AS_DOUBLE(object);
    return true;
}

bool tallyIsPlain(PyObject *tally, long *count, double *total, double *mean, double *m2, double *min, double *max)
{
    const TallySlots &slots = layer.tally;
    return Py_TYPE(tally) == layer.tallyType && slotRef(tally, slots.series) == Py_None &&
           slotRef(tally, slots.count) != NULL && compatExactIntValue(slotRef(tally, slots.count), count) &&
           exactFloat(slotRef(tally, slots.total), total) && exactFloat(slotRef(tally, slots.mean), mean) &&
           exactFloat(slotRef(tally, slots.m2), m2) && exactFloat(slotRef(tally, slots.min), min) &&
           exactFloat(slotRef(tally, slots.max), max);
}

int tallyAdd(PyObject *tally, double x)
{
    const TallySlots &slots = layer.tally;
    long count = 0;
    double total = 0.0, mean = 0.0, m2 = 0.0, min = 0.0, max = 0.0;
    if (!tallyIsPlain(tally, &count, &total, &mean, &m2, &min, &max)) {
        PyObject *value = PyFloat_FromDouble(x);
        int status = value == NULL ? -1 : callMethodIgnore(tally, names.add, value);
        Py_XDECREF(value);
        return status;
    }
    count += 1;
    double delta = x - mean;
    mean += delta / static_cast<double>(count);
    if (slotSetOwned(tally, slots.count, compatIntFromLong(count)) < 0 || slotSetDouble(tally, slots.total, total + x) < 0 ||
        slotSetDouble(tally, slots.mean, mean) < 0 || slotSetDouble(tally, slots.m2, m2 + delta * (x - mean)) < 0)
        return -1;
    if (x < min && slotSetDouble(tally, slots.min, x) < 0)
        return -1;
    if (x > max && slotSetDouble(tally, slots.max, x) < 0)
        return -1;
    return 0;
}

bool levelIsPlain(PyObject *level, double *now, long *value, long *min, long *max, double *since, double *area)
{
    const LevelSlots &slots = layer.level;
    if (Py_TYPE(level) != layer.levelType || slotRef(level, slots.series) != Py_None)
        return false;
    PyObject *sim = slotRef(level, slots.sim);
    if (sim == NULL || !PyObject_TypeCheck(sim, layer.simulationType) || !exactFloat(slotRef(sim, layer.sim.now), now))
        return false;
    PyObject *fields[] = {slotRef(level, slots.value), slotRef(level, slots.min), slotRef(level, slots.max)};
    for (PyObject *field : fields)
        if (field == NULL)
            return false;
    return compatExactIntValue(fields[0], value) && compatExactIntValue(fields[1], min) &&
           compatExactIntValue(fields[2], max) && exactFloat(slotRef(level, slots.since), since) &&
           exactFloat(slotRef(level, slots.area), area);
}

int levelSet(PyObject *level, Py_ssize_t count)
{
    const LevelSlots &slots = layer.level;
    double now = 0.0, since = 0.0, area = 0.0;
    long old = 0, min = 0, max = 0, value = static_cast<long>(count);
    if (!levelIsPlain(level, &now, &old, &min, &max, &since, &area)) {
        PyObject *number = compatIntFromLong(value);
        int status = number == NULL ? -1 : callMethodIgnore(level, names.set, number);
        Py_XDECREF(number);
        return status;
    }
    if (slotSetDouble(level, slots.area, area + static_cast<double>(old) * (now - since)) < 0 ||
        slotSetDouble(level, slots.since, now) < 0 || slotSetOwned(level, slots.value, compatIntFromLong(value)) < 0)
        return -1;
    if (value > max)
        return slotSetOwned(level, slots.max, compatIntFromLong(value));
    if (value < min)
        return slotSetOwned(level, slots.min, compatIntFromLong(value));
    return 0;
}

// The facility's field, borrowed; NULL with the error set when missing.
PyObject *field(PyObject *facility, Py_ssize_t offset, const char *name) { return slotGet(facility, offset, name); }

int monitorTally(PyObject *facility, double x)
{
    PyObject *tally = field(facility, layer.fac.wait, "wait");
    if (tally == NULL)
        return -1;
    Py_INCREF(tally);
    int status = tallyAdd(tally, x);
    Py_DECREF(tally);
    return status;
}

int monitorLevel(PyObject *facility, Py_ssize_t offset, const char *name, PyObject *container)
{
    Py_ssize_t count = PyObject_Size(container);
    if (count < 0)
        return -1;
    PyObject *level = field(facility, offset, name);
    if (level == NULL)
        return -1;
    Py_INCREF(level);
    int status = levelSet(level, count);
    Py_DECREF(level);
    return status;
}

// ---------------------------------------------------------------------------
// Seize

// Facility._new_entry: the entry in the line's element type, put at the head
// of the process's chain. A new reference.
PyObject *newEntry(PyObject *facility, PyObject *line, long kind, PyObject *process, PyObject *now, PyObject *priority)
{
    PyObject *name = field(facility, layer.fac.name, "name");
    if (name == NULL)
        return NULL;
    PyObject *prev = asRequest(process)->prev;
    PyObject *entry = NULL;
    if (kind == LINKED_ENTRY)
        entry = PyObject_CallMethodObjArgs(line, names.create, process, name, prev, process, Py_None, now, priority,
                                           facility, NULL);
    else if (kind == PRIORITY_ENTRY)
        entry = PyObject_CallMethodObjArgs(line, names.create, priority, process, name, prev, process, Py_None, now,
                                           facility, NULL);
    else
        entry = PyObject_CallMethodObjArgs(line, names.create, layer.zero, priority, process, name, prev, process,
                                           Py_None, now, facility, NULL);
    if (entry == NULL)
        return NULL;
    if (!isLayerRequest(entry)) {
        PyErr_SetString(PyExc_TypeError, "The prev attribute value must be a Request");
        Py_DECREF(entry);
        return NULL;
    }
    requestReplaceField(&asRequest(process)->prev, entry);
    if (asRequest(entry)->prev != Py_None) {
        PyObject *done = compatCallOneArg(forgetOlder, entry);
        if (done == NULL) {
            Py_DECREF(entry);
            return NULL;
        }
        Py_DECREF(done);
    }
    return entry;
}

// A process that waits with patience also waits in the event list, with the
// marker as its val that tells the loop, should it wake there first, that it
// reneges.
int startPatience(PyObject *sim, PyObject *process, double patience)
{
    requestReplaceField(&asRequest(process)->val, renegeMarker);
    return schedule(sim, process, patience, WAITING);
}

// The seize of a facility that does not preempt, from the entry on.
PyObject *seizePlain(PyObject *facility, PyObject *sim, PyObject *process, PyObject *entry, long capacity,
                     const double *patience)
{
    PyObject *users = field(facility, layer.fac.users, "users");
    if (users == NULL)
        return NULL;
    Py_INCREF(users);
    Py_ssize_t held = PyObject_Size(users);
    PyObject *result = NULL;
    if (held < 0) {
    } else if (held < capacity) {
        if (callMethodIgnore(users, names.push, entry) == 0 && monitorTally(facility, 0.0) == 0 &&
            monitorLevel(facility, layer.fac.busy, "busy", users) == 0) {
            requestReplaceField(&asRequest(process)->val, Py_True);
            result = Py_True;
        }
    } else {
        PyObject *line = field(facility, layer.fac.line, "line");
        PyObject *limit = line != NULL ? field(facility, layer.fac.limit, "limit") : NULL;
        Py_XINCREF(line);
        Py_XINCREF(limit);
        long most = 0;
        Py_ssize_t waiting = line != NULL ? PyObject_Size(line) : -1;
        if (waiting < 0 || limit == NULL) {
        } else if (limit != Py_None && compatExactIntValue(limit, &most) && waiting >= most) {
            PyObject *balked = field(facility, layer.fac.balked, "balked");
            PyObject *one = balked != NULL ? compatIntFromLong(1) : NULL;
            PyObject *more = one != NULL ? PyNumber_Add(balked, one) : NULL;
            Py_XDECREF(one);
            if (slotSetOwned(facility, layer.fac.balked, more) == 0) {
                requestReplaceField(&asRequest(process)->val, Py_False);
                result = Py_True;
            }
        } else if (callMethodIgnore(line, names.push, entry) == 0 &&
                   monitorLevel(facility, layer.fac.length, "length", line) == 0) {
            setProcessState(process, WAITING);
            if (patience == NULL || startPatience(sim, process, *patience) == 0)
                result = Py_False;
        }
        Py_XDECREF(line);
        Py_XDECREF(limit);
    }
    Py_DECREF(users);
    Py_XINCREF(result);
    return result;
}

// What the C path cannot do exactly as Python would goes to Python whole.
bool seizeIsPlain(PyObject *facility, PyObject *sim, PyObject *process, PyObject *patience, long *capacity, long *kind,
                  PyObject **now, bool *patient, double *patienceValue)
{
    if (Py_TYPE(facility) != layer.facilityType || Py_TYPE(process) != layer.processType ||
        !PyObject_TypeCheck(sim, layer.simulationType))
        return false;
    *patient = patience != NULL && patience != Py_None;
    if (*patient && !exactFloat(patience, patienceValue))
        return false;
    PyObject *preemptive = slotRef(facility, layer.fac.preemptive);
    PyObject *limit = slotRef(facility, layer.fac.limit);
    PyObject *capacityObject = slotRef(facility, layer.fac.capacity);
    PyObject *kindObject = slotRef(facility, layer.fac.kind);
    *now = slotRef(sim, layer.sim.now);
    long ignored = 0;
    return preemptive == Py_False && limit != NULL && (limit == Py_None || compatExactIntValue(limit, &ignored)) &&
           capacityObject != NULL && compatExactIntValue(capacityObject, capacity) && kindObject != NULL &&
           compatExactIntValue(kindObject, kind) && *kind >= LINKED_ENTRY && *kind <= TIMED_ENTRY && *now != NULL &&
           PyFloat_CheckExact(*now);
}

// ---------------------------------------------------------------------------
// Release and grant

bool grantIsPlain(PyObject *facility, PyObject *entry)
{
    if (Py_TYPE(facility) != layer.facilityType || !isLayerRequest(entry))
        return false;
    PyObject *process = asRequest(entry)->val;
    if (Py_TYPE(process) != layer.processType || slotRef(process, layer.proc.left) != Py_None)
        return false;
    PyObject *sim = slotRef(facility, layer.fac.sim);
    return sim != NULL && PyObject_TypeCheck(sim, layer.simulationType) && slotRef(process, layer.proc.sim) != NULL;
}

PyObject *grant(PyObject *facility, PyObject *entry)
{
    PyObject *sim = field(facility, layer.fac.sim, "sim");
    PyObject *line = sim != NULL ? field(facility, layer.fac.line, "line") : NULL;
    if (line == NULL)
        return NULL;
    Py_INCREF(sim);
    Py_INCREF(entry);
    PyObject *users = NULL, *events = NULL;
    PyObject *process = NULL;
    PyObject *result = NULL;
    double now = 0.0;
    if (monitorLevel(facility, layer.fac.length, "length", line) < 0)
        goto done;
    if ((users = field(facility, layer.fac.users, "users")) == NULL)
        goto done;
    Py_INCREF(users);
    if (callMethodIgnore(users, names.push, entry) < 0 || !simulationNow(sim, &now) ||
        monitorTally(facility, now - asRequest(entry)->firedTime) < 0)
        goto done;
    process = asRequest(entry)->val;
    Py_INCREF(process);
    if (asRequest(process)->queue != Py_None) {
        // Its patience timer.
        if ((events = slotGet(sim, layer.sim.events, "_events")) == NULL)
            goto done;
        Py_INCREF(events);
        if (callMethodIgnore(events, names.deleteName, process) < 0)
            goto done;
    }
    if (slotRef(process, layer.proc.left) != Py_None) {
        // Code run above preempted it: the Python step resumes its hold.
        PyObject *left = slotRef(process, layer.proc.left);
        double delay = PyFloat_AsDouble(left);
        if (delay == -1.0 && PyErr_Occurred())
            goto done;
        slotSet(process, layer.proc.left, Py_None);
        if (schedule(sim, process, delay, HOLDING) < 0)
            goto done;
    } else {
        requestReplaceField(&asRequest(process)->val, Py_True);
        if (schedule(sim, process, 0.0, GRANTED) < 0)
            goto done;
    }
    result = Py_None;
    Py_INCREF(result);
done:
    Py_XDECREF(process);
    Py_XDECREF(events);
    Py_XDECREF(users);
    Py_DECREF(entry);
    Py_DECREF(sim);
    return result;
}

PyObject *releaseEntry(PyObject *facility, PyObject *entry)
{
    PyObject *users = field(facility, layer.fac.users, "users");
    PyObject *line = users != NULL ? field(facility, layer.fac.line, "line") : NULL;
    if (line == NULL)
        return NULL;
    Py_INCREF(users);
    Py_INCREF(line);
    PyObject *result = NULL;
    int waiting = 0;
    if (callMethodIgnore(users, names.deleteName, entry) == 0 && (waiting = PyObject_IsTrue(line)) >= 0) {
        if (waiting) {
            PyObject *next = PyObject_CallMethodObjArgs(line, names.pop, NULL);
            if (next != NULL) {
                result = facilityGrant(facility, next);
                Py_DECREF(next);
            }
        } else if (monitorLevel(facility, layer.fac.busy, "busy", users) == 0) {
            result = Py_None;
            Py_INCREF(result);
        }
    }
    Py_DECREF(line);
    Py_DECREF(users);
    return result;
}

} // namespace

PyObject *facilitySeize(PyObject *facility, PyObject *args)
{
    PyObject *sim = NULL, *process = NULL, *priority = NULL, *patience = NULL;
    if (!PyArg_UnpackTuple(args, "_seize", 2, 4, &sim, &process, &priority, &patience))
        return NULL;
    long capacity = 0, kind = 0;
    PyObject *now = NULL;
    bool patient = false;
    double patienceValue = 0.0;
    if (!seizeIsPlain(facility, sim, process, patience, &capacity, &kind, &now, &patient, &patienceValue))
        return callPython(pureSeize, facility, args, NULL);
    PyObject *line = field(facility, layer.fac.line, "line");
    if (line == NULL)
        return NULL;
    Py_INCREF(line);
    Py_INCREF(now);
    PyObject *entry = newEntry(facility, line, kind, process, now, priority != NULL ? priority : layer.zero);
    Py_DECREF(now);
    Py_DECREF(line);
    if (entry == NULL)
        return NULL;
    PyObject *result = seizePlain(facility, sim, process, entry, capacity, patient ? &patienceValue : NULL);
    Py_DECREF(entry);
    return result;
}

PyObject *facilityRelease(PyObject *facility, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"process", NULL};
    PyObject *process = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:release", const_cast<char **>(keywords), &process))
        return NULL;
    if (Py_TYPE(facility) != layer.facilityType)
        return callPython(pureRelease, facility, args, kwds);
    if (process == Py_None) {
        PyObject *sim = field(facility, layer.fac.sim, "sim");
        if (sim == NULL)
            return NULL;
        if (!PyObject_TypeCheck(sim, layer.simulationType) || (process = slotRef(sim, layer.sim.active)) == NULL)
            return callPython(pureRelease, facility, args, kwds);
    }
    PyObject *users = field(facility, layer.fac.users, "users");
    if (users == NULL)
        return NULL;
    if (!isLayerRequest(process))
        return callPython(pureRelease, facility, args, kwds);
    PyObject *entry = asRequest(process)->prev;
    while (entry != Py_None && asRequest(entry)->queue != users)
        entry = asRequest(entry)->prev;
    if (entry == Py_None)
        return callPython(pureRelease, facility, args, kwds);
    Py_INCREF(entry);
    PyObject *result = facilityReleaseEntry(facility, entry);
    Py_DECREF(entry);
    return result;
}

PyObject *facilityReleaseEntry(PyObject *facility, PyObject *entry)
{
    if (Py_TYPE(facility) != layer.facilityType)
        return callPythonWith(pureReleaseEntry, facility, entry);
    Py_INCREF(facility);
    PyObject *result = releaseEntry(facility, entry);
    Py_DECREF(facility);
    return result;
}

PyObject *facilityGrant(PyObject *facility, PyObject *entry)
{
    if (!grantIsPlain(facility, entry))
        return callPythonWith(pureGrant, facility, entry);
    Py_INCREF(facility);
    PyObject *result = grant(facility, entry);
    Py_DECREF(facility);
    return result;
}
