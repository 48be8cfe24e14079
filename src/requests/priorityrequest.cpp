// PriorityRequest: a LinkedRequest with a priority and a creation identifier;
// and the module-wide identifier counter.
#include "request.h"

#include "../base/typeobjects.h"

#include <ostream>
#include <sstream>
#include <string>

// The identifier the next created request receives; NULL until the first.
static PyObject *requestIdCounter = NULL;

// The next value is computed first so that a failure leaves the counter as
// it was, still usable.
int assignRequestId(PriorityRequestObject *request)
{
    if (requestIdCounter == NULL) {
        requestIdCounter = compatIntFromLong(0);
        if (requestIdCounter == NULL)
            return -1;
    }
    PyObject *one = compatIntFromLong(1);
    if (one == NULL)
        return -1;
    PyObject *next = PyNumber_Add(requestIdCounter, one);
    Py_DECREF(one);
    if (next == NULL)
        return -1;
    request->id = requestIdCounter; // the counter's reference passes to the request
    requestIdCounter = next;
    return 0;
}

PyObject *requestIdInitialize(PyObject *, PyObject *)
{
    PyObject *zero = compatIntFromLong(0);
    if (zero == NULL)
        return NULL;
    PyObject *old = requestIdCounter;
    requestIdCounter = zero;
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

PyObject *priorityRequestNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    PriorityRequestObject *request = reinterpret_cast<PriorityRequestObject *>(self);
    if (requestSetDefaults(request) == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    resetLinks(request);
    request->priority = 0.0;
    if (assignRequestId(request) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

// Every call starts from the two double defaults; the link words are left
// alone, so re-initialising a request that a heap holds keeps it in place.
static int priorityRequestInitFromArgs(PriorityRequestObject *request, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"priority", "parent",    "name",   "prev",     "val",
                                     "queue",    "firedTime", "target", "canceled", NULL};
    RequestObjectArgs given;
    RequestKeywords owned(args, kwds);
    if (owned.failed())
        return -1;
    request->firedTime = -1.0;
    request->priority = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, owned.get(), "|dOOOOOdOO", const_cast<char **>(keywords), &request->priority,
                                     &given.parent, &given.name, &given.prev, &given.val, &given.queue,
                                     &request->firedTime, &given.target, &given.canceled))
        return -1;
    return requestApplyObjectArgs(request, given);
}

static int priorityRequestInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    return priorityRequestInitFromArgs(reinterpret_cast<PriorityRequestObject *>(self), args, kwds);
}

PyObject *priorityRequestCreate(PyObject *args, PyObject *kwds)
{
    PyObject *self = priorityRequestNew(&PriorityRequestType, NULL, NULL);
    if (self == NULL)
        return NULL;
    if (priorityRequestInitFromArgs(reinterpret_cast<PriorityRequestObject *>(self), args, kwds) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

int priorityRequestTraverse(PyObject *self, visitproc visit, void *arg)
{
    PriorityRequestObject *request = reinterpret_cast<PriorityRequestObject *>(self);
    int result = requestTraverse(request, visit, arg);
    if (result != 0)
        return result;
    Py_VISIT(request->id);
    return 0;
}

int priorityRequestClear(PyObject *self)
{
    PriorityRequestObject *request = reinterpret_cast<PriorityRequestObject *>(self);
    requestClear(request);
    Py_CLEAR(request->id);
    return 0;
}

void priorityRequestDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    VORM_TRASHCAN_BEGIN(self, priorityRequestDealloc)
    priorityRequestClear(self);
    Py_TYPE(self)->tp_free(self);
    VORM_TRASHCAN_END(self)
}

// The standard stream's default rendering: general notation, six significant
// digits.
static void formatReprDouble(std::ostream &out, double value) { out << value; }

static bool writeRepr(std::ostream &out, PyObject *representation)
{
    Py_ssize_t size = 0;
    const char *text = compatText(representation, &size);
    if (text == NULL)
        return false;
    out.write(text, size);
    return true;
}

PyObject *priorityRequestReprText(PyObject *self, const char *kind, const double *futureTime)
{
    PriorityRequestObject *request = reinterpret_cast<PriorityRequestObject *>(self);
    // Each repr can run code that rebinds the other fields and frees their
    // old values, so the fields are held before the first one runs.
    PyObject *fields[3] = {request->name, request->id, request->val};
    for (PyObject *&field : fields) {
        field = field != NULL ? field : Py_None;
        Py_INCREF(field);
    }
    PyObject *representations[3] = {NULL, NULL, NULL};
    for (int i = 0; i < 3; ++i) {
        representations[i] = PyObject_Repr(fields[i]);
        if (representations[i] == NULL)
            break;
    }
    for (PyObject *field : fields)
        Py_DECREF(field);
    if (representations[0] == NULL || representations[1] == NULL || representations[2] == NULL) {
        for (PyObject *representation : representations)
            Py_XDECREF(representation);
        return NULL;
    }
    PyObject *result = NULL;
    try {
        std::ostringstream out;
        out << '<' << kind << ' ';
        if (futureTime != NULL) {
            out << "futureTime=";
            formatReprDouble(out, *futureTime);
            out << ' ';
        }
        out << "priority=";
        formatReprDouble(out, request->priority);
        out << " name=";
        if (writeRepr(out, representations[0])) {
            out << " val=";
            if (writeRepr(out, representations[2])) {
                out << " id=";
                if (writeRepr(out, representations[1])) {
                    out << '>';
                    std::string text = out.str();
                    result = compatStringFromSize(text.data(), static_cast<Py_ssize_t>(text.size()));
                }
            }
        }
    } catch (...) {
        PyErr_NoMemory();
    }
    for (PyObject *representation : representations)
        Py_DECREF(representation);
    return result;
}

static PyObject *priorityRequestRepr(PyObject *self) { return priorityRequestReprText(self, "PriorityRequest", NULL); }

// Changing the priority of a request that a heap holds does not reorder it.
static const RequestDoubleField priorityField = {
    [](PyObject *self) { return &reinterpret_cast<PriorityRequestObject *>(self)->priority; },
    "Cannot delete the priority attribute", "The priority attribute value must be a float or integer"};

static PyGetSetDef priorityRequestGetSet[] = {
    {const_cast<char *>("priority"), requestGetDouble, requestSetDouble, const_cast<char *>("priority"),
     const_cast<RequestDoubleField *>(&priorityField)},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject makePriorityRequestType()
{
    PyTypeObject type = collectedTypeHead("vorm.ext.PriorityRequest", "vorm.ext.PriorityRequest objects",
                                          sizeof(PriorityRequestObject), &LinkedRequestType);
    type.tp_dealloc = priorityRequestDealloc;
    type.tp_repr = priorityRequestRepr;
    type.tp_traverse = priorityRequestTraverse;
    type.tp_clear = priorityRequestClear;
    type.tp_getset = priorityRequestGetSet;
    type.tp_init = priorityRequestInit;
    type.tp_new = priorityRequestNew;
    return type;
}

PyTypeObject PriorityRequestType = makePriorityRequestType();
