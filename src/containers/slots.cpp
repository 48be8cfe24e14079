// The iterator shared by the containers that keep a slot array.
#include "container.h"

PyObject *slotsIteratorNew(PyObject *container, PyTypeObject *iteratorType)
{
    RequestSlotsIteratorObject *iterator = PyObject_New(RequestSlotsIteratorObject, iteratorType);
    if (iterator == NULL)
        return NULL;
    Py_INCREF(container);
    iterator->container = container;
    iterator->cursor = 0;
    return reinterpret_cast<PyObject *>(iterator);
}

static PyObject *slotsIteratorNext(PyObject *self)
{
    RequestSlotsIteratorObject *iterator = reinterpret_cast<RequestSlotsIteratorObject *>(self);
    RequestSlotsObject *container = reinterpret_cast<RequestSlotsObject *>(iterator->container);
    if (container->items == NULL)
        return NULL;
    RawVector<LinkedRequestObject *> &items = slots::itemsOf(container);
    if (iterator->cursor >= static_cast<Py_ssize_t>(items.size()))
        return NULL;
    PyObject *request = reinterpret_cast<PyObject *>(items[iterator->cursor++]);
    Py_INCREF(request);
    return request;
}

static void slotsIteratorDealloc(PyObject *self)
{
    Py_XDECREF(reinterpret_cast<RequestSlotsIteratorObject *>(self)->container);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject slotsIteratorTypeHead(const char *name, const char *doc)
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = name;
    type.tp_basicsize = sizeof(RequestSlotsIteratorObject);
    type.tp_dealloc = slotsIteratorDealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = doc;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = slotsIteratorNext;
    return type;
}
