// RequestListFIFO and the iterator that both list types share.
#include "requestlistfifo.h"

typedef Container<ListFIFOStorage> ListFIFO;

namespace {
struct RequestListIteratorObject {
    PyObject_HEAD
    PyObject *container;
    PyObject *current; // the next request to yield, or None
    PyObject *end;     // the head when the iterator was made, or None
    char atStart;
};
} // namespace

PyObject *requestListIter(PyObject *self)
{
    RequestListIteratorObject *iterator = PyObject_GC_New(RequestListIteratorObject, &RequestListFIFOIteratorType);
    if (iterator == NULL)
        return NULL;
    // Read after the allocation, which can start a collection that runs code.
    PyObject *head = reinterpret_cast<RequestListObject *>(self)->head;
    if (head == NULL)
        head = Py_None;
    Py_INCREF(self);
    iterator->container = self;
    Py_INCREF(head);
    iterator->current = head;
    Py_INCREF(head);
    iterator->end = head;
    iterator->atStart = 1;
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject *>(iterator);
}

// Following a link is safe only while the request still sits in this list;
// and the walk can end only if the request it stops at is still there too.
static PyObject *requestListIteratorNext(PyObject *self)
{
    RequestListIteratorObject *iterator = reinterpret_cast<RequestListIteratorObject *>(self);
    RequestListObject *list = reinterpret_cast<RequestListObject *>(iterator->container);
    if (list->moving) // its requests leave the ring one by one
        return containerMutatedError();
    PyObject *current = iterator->current;
    if (current == Py_None)
        return NULL;
    if (current == iterator->end && !iterator->atStart)
        return NULL;
    LinkedRequestObject *request = reinterpret_cast<LinkedRequestObject *>(current);
    if (!ListFIFOStorage::holds(list, request) ||
        !ListFIFOStorage::holds(list, reinterpret_cast<LinkedRequestObject *>(iterator->end)))
        return containerMutatedError();
    PyObject *next = reinterpret_cast<PyObject *>(request->link.listNext);
    Py_INCREF(next);
    iterator->current = next; // the reference current held passes to the caller
    iterator->atStart = 0;
    return current;
}

static void requestListIteratorDealloc(PyObject *self)
{
    RequestListIteratorObject *iterator = reinterpret_cast<RequestListIteratorObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(iterator->container);
    Py_XDECREF(iterator->current);
    Py_XDECREF(iterator->end);
    Py_TYPE(self)->tp_free(self);
}

static int requestListIteratorTraverse(PyObject *self, visitproc visit, void *arg)
{
    RequestListIteratorObject *iterator = reinterpret_cast<RequestListIteratorObject *>(self);
    Py_VISIT(iterator->container);
    Py_VISIT(iterator->current);
    Py_VISIT(iterator->end);
    return 0;
}

static PyMethodDef listFIFOMethods[] = {
    VORM_CONTAINER_METHODS(ListFIFO),
    {NULL, NULL, 0, NULL},
};

static PySequenceMethods listFIFOSequence = containerSequence<ListFIFOStorage>(NULL);

static RequestContainerTypeObject makeRequestListFIFOType()
{
    RequestContainerTypeObject type = containerTypeHead<ListFIFOStorage>("vorm.ext.RequestListFIFO",
                                                           "vorm.ext.RequestListFIFO objects", &listFIFOSequence);
    type.tp_iter = requestListIter;
    type.tp_methods = listFIFOMethods;
    return type;
}

RequestContainerTypeObject RequestListFIFOType = makeRequestListFIFOType();

static PyTypeObject makeRequestListFIFOIteratorType()
{
    return iteratorTypeHead("vorm.ext.RequestListFIFOIterator", "vorm.ext.RequestListFIFOIterator objects",
                            sizeof(RequestListIteratorObject), requestListIteratorDealloc, requestListIteratorNext,
                            requestListIteratorTraverse);
}

PyTypeObject RequestListFIFOIteratorType = makeRequestListFIFOIteratorType();
