// TimeRequest: a PriorityRequest with the simulated time it falls due.
#include "request.h"

#include "../base/typeobjects.h"

static int timeRequestInitFromArgs(TimeRequestObject *request, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"futureTime", "priority",  "parent", "name",     "prev", "val",
                                     "queue",      "firedTime", "target", "canceled", NULL};
    RequestObjectArgs given;
    RequestKeywords owned(args, kwds);
    if (owned.failed())
        return -1;
    request->futureTime = 0.0;
    request->priority = 0.0;
    request->firedTime = -1.0;
    if (!PyArg_ParseTupleAndKeywords(args, owned.get(), "|ddOOOOOdOO", const_cast<char **>(keywords), &request->futureTime,
                                     &request->priority, &given.parent, &given.name, &given.prev, &given.val,
                                     &given.queue, &request->firedTime, &given.target, &given.canceled))
        return -1;
    return requestApplyObjectArgs(request, given);
}

static int timeRequestInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    return timeRequestInitFromArgs(reinterpret_cast<TimeRequestObject *>(self), args, kwds);
}

// tp_alloc zeroes the record, so futureTime starts at 0.0.
PyObject *timeRequestCreate(PyObject *args, PyObject *kwds)
{
    PyObject *self = priorityRequestNew(&TimeRequestType, NULL, NULL);
    if (self == NULL)
        return NULL;
    if (timeRequestInitFromArgs(reinterpret_cast<TimeRequestObject *>(self), args, kwds) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

static PyObject *timeRequestRepr(PyObject *self)
{
    return priorityRequestReprText(self, "TimeRequest", &reinterpret_cast<TimeRequestObject *>(self)->futureTime);
}

// Changing the time of a request that a heap holds does not reorder it.
static const RequestDoubleField futureTimeField = {
    [](PyObject *self) { return &reinterpret_cast<TimeRequestObject *>(self)->futureTime; },
    "Cannot delete the futureTime attribute", "The futureTime attribute value must be a float or integer"};

static PyGetSetDef timeRequestGetSet[] = {
    {const_cast<char *>("futureTime"), requestGetDouble, requestSetDouble, const_cast<char *>("futureTime"),
     const_cast<RequestDoubleField *>(&futureTimeField)},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject makeTimeRequestType()
{
    PyTypeObject type = collectedTypeHead("vorm.ext.TimeRequest", "vorm.ext.TimeRequest objects",
                                          sizeof(TimeRequestObject), &PriorityRequestType);
    type.tp_dealloc = priorityRequestDealloc;
    type.tp_repr = timeRequestRepr;
    type.tp_traverse = priorityRequestTraverse;
    type.tp_clear = priorityRequestClear;
    type.tp_getset = timeRequestGetSet;
    type.tp_init = timeRequestInit;
    type.tp_new = priorityRequestNew;
    return type;
}

PyTypeObject TimeRequestType = makeTimeRequestType();
