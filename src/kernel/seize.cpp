// Seize: the command object. A facility makes its plain seize once; one
// with a priority or a patience is made per call.
#include "seize.h"

#include "process.h"
#include "simulation.h"

static SeizeObject *asSeize(PyObject *self) { return reinterpret_cast<SeizeObject *>(self); }

static PyObject *seizeMake(FacilityObject *facility, double priority, double patience, PyObject *priorityObject,
                           PyObject *patienceObject, bool owns)
{
    SeizeObject *seize = PyObject_GC_New(SeizeObject, &SeizeType);
    if (seize == NULL)
        return NULL;
    if (owns)
        Py_INCREF(facility);
    seize->facility = facility;
    seize->ownsFacility = owns;
    seize->priority = priority;
    seize->patience = patience;
    Py_INCREF(priorityObject);
    seize->priorityObject = priorityObject;
    Py_INCREF(patienceObject);
    seize->patienceObject = patienceObject;
    PyObject_GC_Track(seize);
    return asObject(seize);
}

PyObject *seizeNew(FacilityObject *facility, double priority, double patience, PyObject *priorityObject,
                   PyObject *patienceObject)
{
    return seizeMake(facility, priority, patience, priorityObject, patienceObject, true);
}

PyObject *seizePlainOf(FacilityObject *facility) { return seizeMake(facility, 0.0, NAN, Py_None, Py_None, false); }

void seizeDetach(PyObject *seize)
{
    SeizeObject *command = asSeize(seize);
    if (!command->ownsFacility)
        command->facility = NULL;
}

ApplyResult seizeApply(ProcessObject *process, SeizeObject *seize, PyObject **value)
{
    if (seize->facility == NULL) {
        kernelError(hooks.stateError, process->sim, "the facility of this seize is gone", PyTuple_New(0));
        return APPLY_REFUSED;
    }
    return facilitySeize(seize->facility, process, seize->priority, seize->patience, value);
}

// Seize(facility, priority=0, patience=None), as facility.seize() makes it.
static PyObject *seizeConstruct(PyTypeObject *, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"facility", "priority", "patience", NULL};
    PyObject *facility = NULL, *priority = NULL, *patience = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:Seize", const_cast<char **>(keywords), &facility, &priority,
                                     &patience))
        return NULL;
    if (!isFacility(facility) || reinterpret_cast<FacilityObject *>(facility)->sim == NULL) {
        PyErr_Format(PyExc_TypeError, "Seize() needs a facility, not %.100s", Py_TYPE(facility)->tp_name);
        return NULL;
    }
    SimulationObject *sim = reinterpret_cast<FacilityObject *>(facility)->sim;
    double level = 0.0, wait = NAN;
    if (priority != NULL && kernelNumber(sim, priority, "seize() priority", true, &level) < 0)
        return NULL;
    if (patience != Py_None && kernelNumber(sim, patience, "seize() patience", false, &wait) < 0)
        return NULL;
    return seizeNew(reinterpret_cast<FacilityObject *>(facility), level, wait, priority != NULL ? priority : Py_None,
                    patience);
}

static PyObject *getFacility(PyObject *self, void *)
{
    PyObject *facility = orNone(asSeize(self)->facility);
    Py_INCREF(facility);
    return facility;
}

static PyObject *getPriority(PyObject *self, void *) { return PyFloat_FromDouble(asSeize(self)->priority); }

static PyObject *getPatience(PyObject *self, void *)
{
    double patience = asSeize(self)->patience;
    if (patience != patience)
        Py_RETURN_NONE;
    return PyFloat_FromDouble(patience);
}

static PyGetSetDef seizeGetSet[] = {
    {const_cast<char *>("facility"), getFacility, NULL, NULL, NULL},
    {const_cast<char *>("priority"), getPriority, NULL, NULL, NULL},
    {const_cast<char *>("patience"), getPatience, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static int seizeTraverse(PyObject *self, visitproc visit, void *arg)
{
    if (asSeize(self)->ownsFacility)
        Py_VISIT(asObject(asSeize(self)->facility));
    Py_VISIT(asSeize(self)->priorityObject);
    Py_VISIT(asSeize(self)->patienceObject);
    return 0;
}

static int seizeClear(PyObject *self)
{
    SeizeObject *seize = asSeize(self);
    PyObject *facility = asObject(seize->facility);
    seize->facility = NULL;
    if (seize->ownsFacility)
        Py_XDECREF(facility);
    Py_CLEAR(seize->priorityObject);
    Py_CLEAR(seize->patienceObject);
    return 0;
}

static void seizeDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    seizeClear(self);
    PyObject_GC_Del(self);
}

static PyObject *seizeRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.seizeRepr, self, NULL); }

static PyTypeObject makeSeizeType()
{
    PyTypeObject type = kernelTypeHead("vorm.Seize",
                                       "got = yield facility.seize(priority, patience): True once a server is held, "
                                       "False when the process balked or reneged.",
                                       sizeof(SeizeObject), 0);
    type.tp_new = seizeConstruct;
    type.tp_dealloc = seizeDealloc;
    type.tp_traverse = seizeTraverse;
    type.tp_clear = seizeClear;
    type.tp_repr = seizeRepr;
    type.tp_getset = seizeGetSet;
    return type;
}

PyTypeObject SeizeType = makeSeizeType();
