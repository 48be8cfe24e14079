// RequestDEQFIFO and its iterator.
#include "requestdeqfifo.h"

#include <cstring>

typedef Container<DEQFIFOStorage> DEQFIFO;

bool ringResize(RequestRing *ring, int32_t capacity)
{
    LinkedRequestObject **slots =
        static_cast<LinkedRequestObject **>(compatRawMalloc(sizeof(LinkedRequestObject *) * capacity));
    if (slots == NULL)
        return false;
    for (int32_t i = 0; i < ring->count; ++i) {
        LinkedRequestObject *request = ring->slots[(ring->head + i) % ring->capacity];
        slots[i] = request;
        request->link.position = i;
    }
    compatRawFree(ring->slots);
    ring->slots = slots;
    ring->head = 0;
    ring->tail = ring->count % capacity;
    ring->capacity = capacity;
    ringChanged(ring);
    return true;
}

int DEQFIFOStorage::construct(Object *deque)
{
    RequestRing *ring = new (std::nothrow) RequestRing();
    LinkedRequestObject **slots = static_cast<LinkedRequestObject **>(compatRawMalloc(sizeof(LinkedRequestObject *)));
    if (ring == NULL || slots == NULL) {
        delete ring;
        compatRawFree(slots);
        PyErr_NoMemory();
        return -1;
    }
    ring->capacity = 1;
    ring->slots = slots;
    deque->ring = ring;
    return 0;
}

void DEQFIFOStorage::destroy(Object *deque)
{
    if (deque->ring == NULL)
        return;
    compatRawFree(deque->ring->slots);
    delete deque->ring;
    deque->ring = NULL;
}

namespace {
struct RequestDEQFIFOIteratorObject {
    PyObject_HEAD
    PyObject *container;
    char atStart;
    int32_t cursor;
    uint64_t state;
};
} // namespace

static PyObject *requestDEQFIFOIter(PyObject *self)
{
    RequestDEQFIFOIteratorObject *iterator =
        PyObject_GC_New(RequestDEQFIFOIteratorObject, &RequestDEQFIFOIteratorType);
    if (iterator == NULL)
        return NULL;
    // Read after the allocation, which can start a collection that runs code.
    RequestRing *ring = reinterpret_cast<RequestDEQFIFOObject *>(self)->ring;
    Py_INCREF(self);
    iterator->container = self;
    iterator->atStart = 1;
    iterator->cursor = ring->head;
    iterator->state = ring->state;
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject *>(iterator);
}

// A cursor is a slot index that a removal or a resize invalidates, so any
// change since the iterator was made ends the iteration with an error.
static PyObject *requestDEQFIFOIteratorNext(PyObject *self)
{
    RequestDEQFIFOIteratorObject *iterator = reinterpret_cast<RequestDEQFIFOIteratorObject *>(self);
    RequestRing *ring = reinterpret_cast<RequestDEQFIFOObject *>(iterator->container)->ring;
    // A running moveTo has handed the walked slots' requests to the target.
    if (ring == NULL || ring->state != iterator->state || ring->moving)
        return containerMutatedError();
    if (ring->count == 0 || (!iterator->atStart && iterator->cursor == ring->tail))
        return NULL;
    PyObject *request = reinterpret_cast<PyObject *>(ring->slots[iterator->cursor]);
    iterator->atStart = 0;
    iterator->cursor = (iterator->cursor + 1) % ring->capacity;
    Py_INCREF(request);
    return request;
}

static void requestDEQFIFOIteratorDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_XDECREF(reinterpret_cast<RequestDEQFIFOIteratorObject *>(self)->container);
    Py_TYPE(self)->tp_free(self);
}

static int requestDEQFIFOIteratorTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<RequestDEQFIFOIteratorObject *>(self)->container);
    return 0;
}

static PyMethodDef deqfifoMethods[] = {
    VORM_CONTAINER_METHODS(DEQFIFO),
    {NULL, NULL, 0, NULL},
};

static PySequenceMethods deqfifoSequence = containerSequence<DEQFIFOStorage>(NULL);

static RequestContainerTypeObject makeRequestDEQFIFOType()
{
    RequestContainerTypeObject type = containerTypeHead<DEQFIFOStorage>("vorm.ext.RequestDEQFIFO", "vorm.ext.RequestDEQFIFO objects",
                                                          &deqfifoSequence);
    type.tp_iter = requestDEQFIFOIter;
    type.tp_methods = deqfifoMethods;
    return type;
}

RequestContainerTypeObject RequestDEQFIFOType = makeRequestDEQFIFOType();

static PyTypeObject makeRequestDEQFIFOIteratorType()
{
    return iteratorTypeHead("vorm.ext.RequestDEQFIFOIterator", "vorm.ext.RequestDEQFIFOIterator objects",
                            sizeof(RequestDEQFIFOIteratorObject), requestDEQFIFOIteratorDealloc,
                            requestDEQFIFOIteratorNext, requestDEQFIFOIteratorTraverse);
}

PyTypeObject RequestDEQFIFOIteratorType = makeRequestDEQFIFOIteratorType();
