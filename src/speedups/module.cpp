// The module vorm._speedups: binding to the layer's classes, and the methods
// that vorm.speedups installs into them.
#include "speedups.h"

#include <structmember.h>

Layer layer;
Names names;

// The layer's own methods, which the native ones hand the uncommon cases to.
PyObject *pureStart, *pureSeize, *pureRelease, *pureReleaseEntry, *pureGrant, *forgetOlder;
// The val of a process that waits with patience.
PyObject *renegeMarker;

static bool bound = false;

// The offset of a slot that the class itself declares.
static Py_ssize_t slotOffset(PyTypeObject *type, const char *name)
{
    PyObject *descriptor = PyDict_GetItemString(type->tp_dict, name);
    if (descriptor == NULL || !PyObject_TypeCheck(descriptor, &PyMemberDescr_Type) ||
        reinterpret_cast<PyMemberDescrObject *>(descriptor)->d_member->type != T_OBJECT_EX) {
        PyErr_Format(PyExc_TypeError, "%.100s has no slot %.100s", type->tp_name, name);
        return -1;
    }
    return reinterpret_cast<PyMemberDescrObject *>(descriptor)->d_member->offset;
}

struct SlotName {
    Py_ssize_t *offset;
    const char *name;
};

static bool readSlots(PyTypeObject *type, const SlotName *slots, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if ((*slots[i].offset = slotOffset(type, slots[i].name)) < 0)
            return false;
    return true;
}

static bool readLayout()
{
    const SlotName sim[] = {{&layer.sim.now, "now"},
                            {&layer.sim.active, "active"},
                            {&layer.sim.events, "_events"},
                            {&layer.sim.order, "_order"},
                            {&layer.sim.closed, "_closed"}};
    const SlotName proc[] = {{&layer.proc.sim, "sim"},
                             {&layer.proc.send, "_send"},
                             {&layer.proc.state, "_state"},
                             {&layer.proc.left, "_left"},
                             {&layer.proc.joiners, "_joiners"}};
    const SlotName fac[] = {{&layer.fac.sim, "sim"},           {&layer.fac.name, "name"},
                            {&layer.fac.capacity, "capacity"}, {&layer.fac.limit, "limit"},
                            {&layer.fac.preemptive, "preemptive"}, {&layer.fac.line, "line"},
                            {&layer.fac.users, "users"},       {&layer.fac.wait, "wait"},
                            {&layer.fac.length, "length"},     {&layer.fac.busy, "busy"},
                            {&layer.fac.balked, "balked"},     {&layer.fac.kind, "_kind"}};
    const SlotName tally[] = {{&layer.tally.sim, "sim"}, {&layer.tally.count, "count"}, {&layer.tally.total, "total"},
                              {&layer.tally.mean, "_mean"}, {&layer.tally.m2, "_m2"}, {&layer.tally.min, "min"},
                              {&layer.tally.max, "max"}, {&layer.tally.series, "series"}};
    const SlotName level[] = {{&layer.level.sim, "sim"},       {&layer.level.value, "value"},
                              {&layer.level.min, "min"},       {&layer.level.max, "max"},
                              {&layer.level.series, "series"}, {&layer.level.since, "_since"},
                              {&layer.level.area, "_area"}};
    return readSlots(layer.simulationType, sim, sizeof sim / sizeof *sim) &&
           readSlots(layer.processType, proc, sizeof proc / sizeof *proc) &&
           readSlots(layer.facilityType, fac, sizeof fac / sizeof *fac) &&
           readSlots(layer.tallyType, tally, sizeof tally / sizeof *tally) &&
           readSlots(layer.levelType, level, sizeof level / sizeof *level);
}

// Borrowed; NULL with the error set.
static PyObject *attribute(PyObject *object, const char *name)
{
    PyObject *value = PyObject_GetAttrString(object, name);
    Py_XDECREF(value); // the module or class keeps it alive
    return value;
}

static PyTypeObject *classOf(PyObject *module, const char *name)
{
    PyObject *value = attribute(module, name);
    if (value != NULL && !PyType_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%.100s is not a class", name);
        return NULL;
    }
    return reinterpret_cast<PyTypeObject *>(value);
}

// The layer's constants must be the numbers this module was written for.
static bool constantIs(PyObject *module, const char *name, long expected)
{
    PyObject *value = attribute(module, name);
    long number = 0;
    if (value == NULL)
        return false;
    if (!compatExactIntValue(value, &number) || number != expected) {
        PyErr_Format(PyExc_ValueError, "the layer's %.100s is not %ld", name, expected);
        return false;
    }
    return true;
}

// The layer's requests must be laid out as this module reads them.
static bool requestLayoutAgrees()
{
    bool timeRequest = false;
    for (PyTypeObject *type = layer.processType; type != NULL; type = type->tp_base) {
        if (std::strcmp(type->tp_name, "vorm.ext.TimeRequest") == 0)
            timeRequest = type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(TimeRequestObject));
        if (std::strcmp(type->tp_name, "vorm.ext.Request") == 0 &&
            type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(RequestObject)))
            layer.requestType = type;
    }
    if (timeRequest && layer.requestType != NULL)
        return true;
    PyErr_SetString(PyExc_ImportError, "vorm._speedups was built for another vorm.ext");
    return false;
}

static PyObject *methodOf(PyTypeObject *type, const char *name)
{
    PyObject *method = PyDict_GetItemString(type->tp_dict, name);
    if (method == NULL)
        PyErr_Format(PyExc_AttributeError, "%.100s has no method %.100s", type->tp_name, name);
    Py_XINCREF(method);
    return method;
}

static bool internNames()
{
    struct {
        PyObject **slot;
        const char *text;
    } const table[] = {{&names.pop, "pop"},          {&names.push, "push"},          {&names.deleteName, "delete"},
                       {&names.create, "create"},    {&names.apply, "_apply"},       {&names.expire, "expire"},
                       {&names.other, "_other"},     {&names.refuse, "_refuse"},     {&names.fail, "_fail"},
                       {&names.wakeJoiners, "_wake_joiners"}, {&names.add, "add"},   {&names.set, "set"},
                       {&names.name, "__name__"},    {&names.send, "send"}};
    for (const auto &entry : table)
        if (*entry.slot == NULL && (*entry.slot = compatMethodName(entry.text)) == NULL)
            return false;
    return true;
}

// bind(simulation_module, facility_module, monitor_module): reads the
// classes, checks the constants and the layout, and keeps the Python methods
// that the native ones fall back on. Binding again changes nothing.
static PyObject *bind(PyObject *, PyObject *args)
{
    PyObject *simulation = NULL, *facility = NULL, *monitor = NULL;
    if (!PyArg_UnpackTuple(args, "bind", 3, 3, &simulation, &facility, &monitor))
        return NULL;
    if (bound)
        Py_RETURN_NONE;
    if (!internNames())
        return NULL;
    if ((layer.simulationType = classOf(simulation, "Simulation")) == NULL ||
        (layer.processType = classOf(simulation, "Process")) == NULL ||
        (layer.facilityType = classOf(facility, "Facility")) == NULL || (layer.tallyType = classOf(monitor, "Tally")) == NULL ||
        (layer.levelType = classOf(monitor, "Level")) == NULL ||
        (layer.simulationError = attribute(simulation, "SimulationError")) == NULL)
        return NULL;
    const char *states[] = {"SCHEDULED", "HOLDING", "WAITING", "PASSIVE", "SUSPENDED", "FINISHED", "GRANTED"};
    for (int state = 0; state < STATE_COUNT; ++state)
        if (!constantIs(simulation, states[state], state))
            return NULL;
    if (!constantIs(facility, "LINKED", LINKED_ENTRY) || !constantIs(facility, "PRIORITY", PRIORITY_ENTRY) ||
        !constantIs(facility, "TIMED", TIMED_ENTRY) || !requestLayoutAgrees() || !readLayout())
        return NULL;
    for (int state = 0; state < STATE_COUNT; ++state)
        if (layer.states[state] == NULL && (layer.states[state] = compatIntFromLong(state)) == NULL)
            return NULL;
    if (layer.zero == NULL && (layer.zero = PyFloat_FromDouble(0.0)) == NULL)
        return NULL;
    if ((pureStart = methodOf(layer.simulationType, "start")) == NULL ||
        (pureSeize = methodOf(layer.facilityType, "_seize")) == NULL ||
        (pureRelease = methodOf(layer.facilityType, "release")) == NULL ||
        (pureReleaseEntry = methodOf(layer.facilityType, "_release_entry")) == NULL ||
        (pureGrant = methodOf(layer.facilityType, "_grant")) == NULL)
        return NULL;
    if ((forgetOlder = attribute(simulation, "_forget_older")) == NULL ||
        (renegeMarker = attribute(facility, "_RENEGE")) == NULL)
        return NULL;
    Py_INCREF(forgetOlder);
    Py_INCREF(renegeMarker);
    // The classes and the module live as long as the process.
    Py_INCREF(layer.simulationType);
    Py_INCREF(layer.processType);
    Py_INCREF(layer.facilityType);
    Py_INCREF(layer.tallyType);
    Py_INCREF(layer.levelType);
    Py_INCREF(layer.simulationError);
    bound = true;
    Py_RETURN_NONE;
}

// The methods as (class, name, descriptor) triples, for vorm.speedups to
// install.
static PyMethodDef simulationMethods[] = {
    {"_loop", VORM_METH(simulationLoop), METH_O, NULL},
    {"start", VORM_METH(simulationStart), METH_VARARGS | METH_KEYWORDS, NULL},
};
static PyMethodDef facilityMethods[] = {
    {"_seize", VORM_METH(facilitySeize), METH_VARARGS, NULL},
    {"release", VORM_METH(facilityRelease), METH_VARARGS | METH_KEYWORDS, NULL},
    {"_release_entry", VORM_METH(facilityReleaseEntry), METH_O, NULL},
    {"_grant", VORM_METH(facilityGrant), METH_O, NULL},
};

static bool appendMethods(PyObject *list, PyTypeObject *type, PyMethodDef *methods, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        PyObject *descriptor = PyDescr_NewMethod(type, &methods[i]);
        PyObject *triple = descriptor != NULL ? Py_BuildValue("(OsN)", type, methods[i].ml_name, descriptor) : NULL;
        if (triple == NULL || PyList_Append(list, triple) < 0) {
            Py_XDECREF(triple);
            return false;
        }
        Py_DECREF(triple);
    }
    return true;
}

static PyObject *methods(PyObject *, PyObject *)
{
    if (!bound) {
        PyErr_SetString(PyExc_RuntimeError, "vorm._speedups is not bound to the layer");
        return NULL;
    }
    PyObject *list = PyList_New(0);
    if (list == NULL)
        return NULL;
    if (!appendMethods(list, layer.simulationType, simulationMethods, sizeof simulationMethods / sizeof *simulationMethods) ||
        !appendMethods(list, layer.facilityType, facilityMethods, sizeof facilityMethods / sizeof *facilityMethods)) {
        Py_DECREF(list);
        return NULL;
    }
    return list;
}

static PyMethodDef moduleFunctions[] = {
    {"bind", bind, METH_VARARGS, NULL},
    {"methods", methods, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

VORM_MODINIT_NAMED(_speedups)
{
    PyObject *module = compatModuleCreate("vorm._speedups", moduleFunctions, "the simulation layer's fast paths");
    VORM_MODINIT_RETURN(module);
}
