// LinkedRequest: a Request that a container can hold, with the two link words
// the containers keep their bookkeeping in.
#include "request.h"

#include "../base/typeobjects.h"

#include "../base/names.h"

static PyObject *linkedRequestNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    LinkedRequestObject *request = reinterpret_cast<LinkedRequestObject *>(self);
    if (requestSetDefaults(request) == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    resetLinks(request);
    return self;
}

PyObject *linkedRequestCreate(PyObject *args, PyObject *kwds)
{
    PyObject *self = linkedRequestNew(&LinkedRequestType, NULL, NULL);
    if (self == NULL)
        return NULL;
    if (requestInitFromArgs(reinterpret_cast<RequestObject *>(self), args, kwds) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

// A container that holds the request counts on its link words, so they are
// reset only for a request that no container holds. Releasing old field
// values can run code that pushes the request, hence the check afterwards.
static int linkedRequestInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    LinkedRequestObject *request = reinterpret_cast<LinkedRequestObject *>(self);
    int result = requestInitFromArgs(request, args, kwds);
    if (!requestIsHeld(request))
        resetLinks(request);
    return result;
}

// Goes through the names method so that a subclass's own names shapes the repr.
static PyObject *linkedRequestRepr(PyObject *self)
{
    PyObject *names = PyObject_CallMethodObjArgs(self, namesMethodName, NULL);
    if (names == NULL)
        return NULL;
    PyObject *text = PyObject_Repr(names);
    Py_DECREF(names);
    return text;
}

static int linkedRequestTraverse(PyObject *self, visitproc visit, void *arg)
{
    return requestTraverse(reinterpret_cast<RequestObject *>(self), visit, arg);
}

static int linkedRequestClear(PyObject *self) { return requestClear(reinterpret_cast<RequestObject *>(self)); }

static PyTypeObject makeLinkedRequestType()
{
    PyTypeObject type = collectedTypeHead("vorm.ext.LinkedRequest", "vorm.ext.LinkedRequest objects",
                                          sizeof(LinkedRequestObject), &RequestType);
    type.tp_dealloc = requestDealloc;
    type.tp_repr = linkedRequestRepr;
    type.tp_traverse = linkedRequestTraverse;
    type.tp_clear = linkedRequestClear;
    type.tp_init = linkedRequestInit;
    type.tp_new = linkedRequestNew;
    return type;
}

PyTypeObject LinkedRequestType = makeLinkedRequestType();
