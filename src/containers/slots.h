// Pieces shared by the containers that keep their requests in a RequestSlots
// array (RequestArray and the heaps): membership, traversal and the batch that
// clear and the collector empty them through.
#ifndef VORM_CONTAINERS_SLOTS_H
#define VORM_CONTAINERS_SLOTS_H

#ifndef VORM_CONTAINERS_CONTAINER_H
#error "include container.h, which completes itself with this header"
#endif

// A container record whose only field is its slot array. items is NULL only
// before construction and after destruction, which is what the paths that
// may meet a container in those states test.
struct RequestSlotsObject {
    PyObject_HEAD
    RequestSlots *items;
};

namespace slots {

inline RawVector<LinkedRequestObject *> &itemsOf(RequestSlotsObject *container) { return container->items->items; }

inline bool &movingOf(RequestSlotsObject *container) { return container->items->moving; }

inline int construct(RequestSlotsObject *container)
{
    container->items = new (std::nothrow) RequestSlots();
    if (container->items == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

inline void destroy(RequestSlotsObject *container)
{
    delete container->items;
    container->items = NULL;
}

inline Py_ssize_t size(RequestSlotsObject *container) { return static_cast<Py_ssize_t>(itemsOf(container).size()); }

// The position word is trusted only when the slot it names holds the request.
inline bool holds(RequestSlotsObject *container, LinkedRequestObject *request)
{
    const RawVector<LinkedRequestObject *> &items = itemsOf(container);
    int32_t position = request->link.position;
    return position >= 0 && static_cast<size_t>(position) < items.size() && items[position] == request;
}

// Slot i holds the request whose position word is i, and whose queue is the
// container. An array's moveTo hands its requests over in place, so the array
// is whole again only when the move ends; a heap stays whole throughout.
inline void check(RequestSlotsObject *container, PyObject *self, bool wholeWhileMoving)
{
    if (container->items == NULL || (container->items->moving && !wholeWhileMoving))
        return;
    const RawVector<LinkedRequestObject *> &items = itemsOf(container);
    size_t count = std::min(items.size(), static_cast<size_t>(vormCheckedCount));
    for (size_t i = 0; i < count; ++i) {
        VORM_ASSERT(items[i]->link.position == static_cast<int32_t>(i));
        VORM_ASSERT(items[i]->queue == self);
    }
}

inline int traverse(RequestSlotsObject *container, visitproc visit, void *arg)
{
    if (container->items == NULL)
        return 0;
    for (LinkedRequestObject *request : itemsOf(container))
        Py_VISIT(reinterpret_cast<PyObject *>(request));
    return 0;
}

// The whole array is swapped out before the first release; its buffer is
// handed back afterwards unless the container grew a new one meanwhile, so
// the capacity survives a clear. A container whose construction failed has
// no array, and is released through here all the same.
class Batch {
public:
    explicit Batch(RequestSlotsObject *container) : container_(container), index_(0)
    {
        if (container->items != NULL)
            detached_.swap(itemsOf(container));
    }
    LinkedRequestObject *next() { return index_ < detached_.size() ? detached_[index_++] : NULL; }
    void finish()
    {
        detached_.clear();
        if (container_->items == NULL)
            return;
        RawVector<LinkedRequestObject *> &items = itemsOf(container_);
        if (items.empty() && items.capacity() < detached_.capacity())
            items.swap(detached_);
    }

private:
    RequestSlotsObject *container_;
    RawVector<LinkedRequestObject *> detached_;
    size_t index_;
};

// Takes the requests from slot `kept` on out of the array and releases them.
// A release can run code that uses the container, so all of them leave the
// storage before the first release. Without room to hold them meanwhile, the
// container refuses changes while they are released instead.
inline void releaseFrom(RawVector<LinkedRequestObject *> &items, size_t kept, bool &moving)
{
    RawVector<LinkedRequestObject *> gone;
    try {
        gone.assign(items.begin() + kept, items.end());
    } catch (...) {
        MovingGuard guard(moving);
        while (items.size() > kept) {
            LinkedRequestObject *request = items.back();
            items.pop_back();
            Py_DECREF(request);
        }
        return;
    }
    items.resize(kept);
    for (LinkedRequestObject *request : gone)
        Py_DECREF(request);
}

} // namespace slots

// The iterators of the slot containers walk the slots by position and read
// the end afresh at every step, so a changed container is never read beyond
// its live slots.
struct RequestSlotsIteratorObject {
    PyObject_HEAD
    PyObject *container;
    Py_ssize_t cursor;
    bool readableWhileMoving;
};

PyObject *slotsIteratorNew(PyObject *container, PyTypeObject *iteratorType, bool readableWhileMoving);

PyTypeObject slotsIteratorTypeHead(const char *name, const char *doc);

#endif
