// The iterator shared by the containers that keep a slot array.
#include "container.h"

PyObject *slotsIteratorNew(PyObject *container, PyTypeObject *iteratorType, bool readableWhileMoving)
{
    RequestSlotsIteratorObject *iterator = PyObject_GC_New(RequestSlotsIteratorObject, iteratorType);
    if (iterator == NULL)
        return NULL;
    Py_INCREF(container);
    iterator->container = container;
    iterator->cursor = 0;
    iterator->readableWhileMoving = readableWhileMoving;
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject *>(iterator);
}

static PyObject *slotsIteratorNext(PyObject *self)
{
    RequestSlotsIteratorObject *iterator = reinterpret_cast<RequestSlotsIteratorObject *>(self);
    RequestSlotsObject *container = reinterpret_cast<RequestSlotsObject *>(iterator->container);
    if (container->items == NULL)
        return NULL;
    // While its moveTo runs, an array still stores requests that already
    // belong to the target.
    if (!iterator->readableWhileMoving && slots::movingOf(container))
        return containerMutatedError();
    RawVector<LinkedRequestObject *> &items = slots::itemsOf(container);
    if (iterator->cursor >= static_cast<Py_ssize_t>(items.size()))
        return NULL;
    PyObject *request = reinterpret_cast<PyObject *>(items[iterator->cursor++]);
    Py_INCREF(request);
    return request;
}

static void slotsIteratorDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_XDECREF(reinterpret_cast<RequestSlotsIteratorObject *>(self)->container);
    Py_TYPE(self)->tp_free(self);
}

static int slotsIteratorTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<RequestSlotsIteratorObject *>(self)->container);
    return 0;
}

PyTypeObject slotsIteratorTypeHead(const char *name, const char *doc)
{
    return iteratorTypeHead(name, doc, sizeof(RequestSlotsIteratorObject), slotsIteratorDealloc, slotsIteratorNext,
                            slotsIteratorTraverse);
}
