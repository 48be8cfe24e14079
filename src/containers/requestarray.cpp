// RequestArray, its indexing and the iterator both array types share.
#include "requestarray.h"

typedef Container<ArrayStorage> Array;

// The interpreter has already added the length to a negative index.
static PyObject *requestArrayItem(PyObject *self, Py_ssize_t index)
{
    RequestSlotsObject *array = reinterpret_cast<RequestSlotsObject *>(self);
    // The slots that a running moveTo has walked hold requests of the target.
    if (slots::movingOf(array))
        return containerReadWhileMovingError();
    RawVector<LinkedRequestObject *> &items = slots::itemsOf(array);
    if (index < 0 || static_cast<size_t>(index) >= items.size()) {
        PyErr_SetString(PyExc_IndexError, "out of range");
        return NULL;
    }
    PyObject *request = reinterpret_cast<PyObject *>(items[index]);
    Py_INCREF(request);
    return request;
}

static PyObject *requestArrayIter(PyObject *self) { return slotsIteratorNew(self, &RequestArrayIteratorType, ArrayStorage::readableWhileMoving); }

static PyMethodDef arrayMethods[] = {
    VORM_CONTAINER_METHODS(Array),
    {NULL, NULL, 0, NULL},
};

static PySequenceMethods arraySequence = containerSequence<ArrayStorage>(requestArrayItem);

static RequestContainerTypeObject makeRequestArrayType()
{
    RequestContainerTypeObject type =
        containerTypeHead<ArrayStorage>("vorm.ext.RequestArray", "vorm.ext.RequestArray objects", &arraySequence);
    type.tp_iter = requestArrayIter;
    type.tp_methods = arrayMethods;
    return type;
}

RequestContainerTypeObject RequestArrayType = makeRequestArrayType();

PyTypeObject RequestArrayIteratorType =
    slotsIteratorTypeHead("vorm.ext.RequestArrayIterator", "vorm.ext.RequestArrayIterator objects");
