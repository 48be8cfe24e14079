// TimeRequestBinaryHeap and its iterator.
#include "timerequestbinaryheap.h"

typedef Container<TimeRequestBinaryHeapStorage> TimeRequestBinaryHeap;

bool timeRequestBinaryHeapHolds(PyObject *container, LinkedRequestObject *request)
{
    return TimeRequestBinaryHeapStorage::holds(reinterpret_cast<RequestSlotsObject *>(container), request);
}

static PyObject *timeRequestBinaryHeapMerge(PyObject *self, PyObject *other)
{
    return TimeRequestBinaryHeapStorage::merge(self, other, &TimeRequestBinaryHeapType, "merge() argument other must be a TimeRequestBinaryHeap");
}

static PyObject *timeRequestBinaryHeapIter(PyObject *self) { return slotsIteratorNew(self, &TimeRequestBinaryHeapIteratorType); }

static PyMethodDef timeRequestBinaryHeapMethods[] = {
    VORM_CONTAINER_METHODS(TimeRequestBinaryHeap),
    {"merge", VORM_METH(timeRequestBinaryHeapMerge), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

static PySequenceMethods timeRequestBinaryHeapSequence = containerSequence<TimeRequestBinaryHeapStorage>(NULL);


static PyTypeObject makeTimeRequestBinaryHeapType()
{
    PyTypeObject type = containerTypeHead<TimeRequestBinaryHeapStorage>("vorm.ext.TimeRequestBinaryHeap", "vorm.ext.TimeRequestBinaryHeap objects",
                                                          &timeRequestBinaryHeapSequence);
    type.tp_iter = timeRequestBinaryHeapIter;
    type.tp_methods = timeRequestBinaryHeapMethods;
    return type;
}

PyTypeObject TimeRequestBinaryHeapType = makeTimeRequestBinaryHeapType();

PyTypeObject TimeRequestBinaryHeapIteratorType =
    slotsIteratorTypeHead("vorm.ext.TimeRequestBinaryHeapIterator", "vorm.ext.TimeRequestBinaryHeapIterator objects");
