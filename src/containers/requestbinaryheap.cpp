// RequestBinaryHeap and its iterator.
#include "requestbinaryheap.h"

typedef Container<RequestBinaryHeapStorage> RequestBinaryHeap;

bool requestBinaryHeapHolds(PyObject *container, LinkedRequestObject *request)
{
    return RequestBinaryHeapStorage::holds(reinterpret_cast<RequestSlotsObject *>(container), request);
}

static PyObject *requestBinaryHeapMerge(PyObject *self, PyObject *other)
{
    return RequestBinaryHeapStorage::merge(self, other, &RequestBinaryHeapType, "merge() argument other must be a RequestBinaryHeap");
}

static PyObject *requestBinaryHeapIter(PyObject *self) { return slotsIteratorNew(self, &RequestBinaryHeapIteratorType); }

static PyMethodDef requestBinaryHeapMethods[] = {
    VORM_CONTAINER_METHODS(RequestBinaryHeap),
    {"merge", VORM_METH(requestBinaryHeapMerge), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

static PySequenceMethods requestBinaryHeapSequence = containerSequence<RequestBinaryHeapStorage>(NULL);

// The tp_name carries an extra "PriorityRequest." component; the published
// name and the doc string do not.
static PyTypeObject makeRequestBinaryHeapType()
{
    PyTypeObject type = containerTypeHead<RequestBinaryHeapStorage>("vorm.ext.PriorityRequest.RequestBinaryHeap", "vorm.ext.RequestBinaryHeap objects",
                                                          &requestBinaryHeapSequence);
    type.tp_iter = requestBinaryHeapIter;
    type.tp_methods = requestBinaryHeapMethods;
    return type;
}

PyTypeObject RequestBinaryHeapType = makeRequestBinaryHeapType();

PyTypeObject RequestBinaryHeapIteratorType =
    slotsIteratorTypeHead("vorm.ext.RequestBinaryHeapIterator", "vorm.ext.RequestBinaryHeapIterator objects");
