// RequestContainer, the abstract base that only serves type tests, and the
// checks, messages and queue handling that every container shares.
#include "container.h"

static PyTypeObject makeRequestContainerType()
{
    PyTypeObject type =
        collectedTypeHead("vorm.ext.RequestContainer", "vorm.ext.RequestContainer objects", sizeof(PyObject), NULL);
    // No tp_new: the abstract base cannot be instantiated. A collected type
    // needs a traverse slot even without fields.
    type.tp_traverse = [](PyObject *, visitproc, void *) { return 0; };
    return type;
}

PyTypeObject RequestContainerType = makeRequestContainerType();

int containerMovingError()
{
    PyErr_SetString(PyExc_RuntimeError, "cannot change a container while its moveTo runs");
    return -1;
}

PyObject *containerReadWhileMovingError()
{
    PyErr_SetString(PyExc_RuntimeError, "cannot read a container while its moveTo runs");
    return NULL;
}

PyObject *containerEmptyError()
{
    PyErr_SetString(PyExc_IndexError, "empty queue");
    return NULL;
}

PyObject *containerCallPush(PyObject *to, LinkedRequestObject *request)
{
    return PyObject_CallMethodObjArgs(to, pushMethodName, reinterpret_cast<PyObject *>(request), NULL);
}

bool containerReclaimFailed(PyObject *self, LinkedRequestObject *request, PyObject **old)
{
    PyObject *queue = request->queue;
    *old = NULL;
    if (queue != Py_None && queue != self && requestIsHeld(request))
        return false;
    Py_INCREF(self);
    request->queue = self;
    *old = queue;
    return true;
}

PyObject *containerMutatedError()
{
    PyErr_SetString(PyExc_RuntimeError, "container mutated during iteration");
    return NULL;
}

bool containerCheckMoveTarget(PyObject *self, PyObject *to, bool *nothingToDo)
{
    *nothingToDo = (to == self);
    if (*nothingToDo)
        return true;
    if (!isRequestContainer(to)) {
        PyErr_SetString(PyExc_TypeError, "moveTo() argument to must be a RequestContainer");
        return false;
    }
    return true;
}
