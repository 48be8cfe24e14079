// The heap steps of the two request heaps, parameterised by their ordering,
// and the storage policy both heaps share. Moving a request into a slot
// always writes that slot's index into its position word; no step changes a
// reference count or runs interpreter code.
#ifndef VORM_CONTAINERS_HEAP_H
#define VORM_CONTAINERS_HEAP_H

#ifndef VORM_CONTAINERS_CONTAINER_H
#error "include container.h, which completes itself with this header"
#endif

// Among equal keys the older request (smaller identifier) is served first.
inline bool requestIdOlder(LinkedRequestObject *a, LinkedRequestObject *b)
{
    PyObject *idA = static_cast<PriorityRequestObject *>(a)->id;
    PyObject *idB = static_cast<PriorityRequestObject *>(b)->id;
    if (idA == NULL || idB == NULL)
        return false;
    return compatIdGreater(idB, idA);
}

inline double requestPriority(LinkedRequestObject *request)
{
    return static_cast<PriorityRequestObject *>(request)->priority;
}

extern RequestContainerTypeObject RequestBinaryHeapType;
extern PyTypeObject RequestBinaryHeapIteratorType;
extern RequestContainerTypeObject TimeRequestBinaryHeapType;
extern PyTypeObject TimeRequestBinaryHeapIteratorType;

// Highest priority first. IEEE comparisons: a NaN priority never precedes
// and is never preceded.
struct PriorityOrder {
    typedef PriorityElement Element;
    static PyTypeObject *heapType() { return &RequestBinaryHeapType; }
    static PyTypeObject *iteratorType() { return &RequestBinaryHeapIteratorType; }
    static constexpr const char *mergeMessage = "merge() argument other must be a RequestBinaryHeap";
    static bool precedes(LinkedRequestObject *a, LinkedRequestObject *b)
    {
        double priorityA = requestPriority(a), priorityB = requestPriority(b);
        if (priorityA == priorityB)
            return requestIdOlder(a, b);
        return priorityA > priorityB;
    }
};

// Earliest future time first, then highest priority, then oldest.
struct TimeOrder {
    typedef TimeElement Element;
    static PyTypeObject *heapType() { return &TimeRequestBinaryHeapType; }
    static PyTypeObject *iteratorType() { return &TimeRequestBinaryHeapIteratorType; }
    static constexpr const char *mergeMessage = "merge() argument other must be a TimeRequestBinaryHeap";
    static bool precedes(LinkedRequestObject *a, LinkedRequestObject *b)
    {
        double timeA = static_cast<TimeRequestObject *>(a)->futureTime;
        double timeB = static_cast<TimeRequestObject *>(b)->futureTime;
        if (timeA == timeB)
            return PriorityOrder::precedes(a, b);
        return timeA < timeB;
    }
};

template <class Order>
struct Heap {
    typedef RawVector<LinkedRequestObject *> Items;

    static void place(Items &items, size_t slot, LinkedRequestObject *request)
    {
        items[slot] = request;
        request->link.position = static_cast<int32_t>(slot);
    }

    // The sifts move a hole instead of swapping: the request being sifted is
    // held aside, each request it passes moves once, and it is written into
    // the slot where it stops. A swap would have put it in every slot on the
    // way, so each comparison sees the same pair of requests and the final
    // layout and positions are those of the swapping sift; only the stores
    // in between are saved.
    static void siftUp(Items &items, size_t i)
    {
        LinkedRequestObject *request = items[i];
        while (i > 0) {
            size_t parent = (i - 1) / 2;
            LinkedRequestObject *above = items[parent];
            if (!Order::precedes(request, above))
                break;
            place(items, i, above);
            i = parent;
        }
        place(items, i, request);
    }

    // On a tie the left child is taken.
    static void siftDown(Items &items, size_t i)
    {
        LinkedRequestObject *request = items[i];
        size_t count = items.size();
        for (;;) {
            size_t child = 2 * i + 1;
            if (child >= count)
                break;
            if (child + 1 < count && Order::precedes(items[child + 1], items[child]))
                ++child;
            if (!Order::precedes(items[child], request))
                break;
            place(items, i, items[child]);
            i = child;
        }
        place(items, i, request);
    }

    static LinkedRequestObject *removeTop(Items &items)
    {
        LinkedRequestObject *top = items[0];
        LinkedRequestObject *last = items.back();
        items.pop_back();
        if (!items.empty()) {
            place(items, 0, last);
            siftDown(items, 0);
        }
        top->link.position = -1;
        return top;
    }

    static void removeAt(Items &items, size_t i)
    {
        VORM_ASSERT(i < items.size() && items[i]->link.position == static_cast<int32_t>(i));
        items[i]->link.position = -1;
        LinkedRequestObject *last = items.back();
        items.pop_back();
        if (i >= items.size())
            return;
        place(items, i, last);
        if (i > 0 && Order::precedes(items[i], items[(i - 1) / 2]))
            siftUp(items, i);
        else
            siftDown(items, i);
    }
};

template <class Order>
struct HeapStorage {
    typedef RequestSlotsObject Object;
    typedef typename Order::Element Element;
    typedef slots::Batch Batch;
    typedef Heap<Order> Steps;

    static int construct(Object *heap) { return slots::construct(heap); }
    static void destroy(Object *heap) { slots::destroy(heap); }
    static Py_ssize_t size(Object *heap) { return slots::size(heap); }
    static bool &moving(Object *heap) { return slots::movingOf(heap); }
    static constexpr bool readableWhileMoving = true;
    static bool holds(Object *heap, LinkedRequestObject *request) { return slots::holds(heap, request); }
    static void check(Object *heap, PyObject *self) { slots::check(heap, self, readableWhileMoving); }
    static int traverse(Object *heap, visitproc visit, void *arg) { return slots::traverse(heap, visit, arg); }

    static LinkedRequestObject *peek(Object *heap)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(heap);
        return items.empty() ? NULL : items[0];
    }

    static int store(Object *heap, LinkedRequestObject *request)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(heap);
        size_t slot = items.size();
        if (vectorAppend(items, request) < 0)
            return -1;
        request->link.position = static_cast<int32_t>(slot);
        Steps::siftUp(items, slot);
        return 0;
    }

    static LinkedRequestObject *take(Object *heap) { return Steps::removeTop(slots::itemsOf(heap)); }

    static void remove(Object *heap, LinkedRequestObject *request)
    {
        Steps::removeAt(slots::itemsOf(heap), static_cast<size_t>(request->link.position));
    }

    // Each request leaves the heap before its push, so the target receives
    // them in service order; one whose push fails belongs to neither.
    class MoveWalk {
    public:
        explicit MoveWalk(Object *heap) : heap_(heap), remaining_(slots::size(heap)) {}
        LinkedRequestObject *next()
        {
            RawVector<LinkedRequestObject *> &items = slots::itemsOf(heap_);
            if (remaining_ <= 0 || items.empty())
                return NULL;
            --remaining_;
            return Steps::removeTop(items);
        }
        void moved(LinkedRequestObject *request) { Py_DECREF(request); }
        void failed(PyObject *, LinkedRequestObject *request) { Py_DECREF(request); }
        void finish() {}

    private:
        Object *heap_;
        Py_ssize_t remaining_;
    };

    // Takes over every request of other, one at a time in other's array
    // order, each sifted up on arrival.
    static PyObject *merge(PyObject *self, PyObject *other)
    {
        if (!PyObject_TypeCheck(other, Order::heapType())) {
            PyErr_SetString(PyExc_TypeError, Order::mergeMessage);
            return NULL;
        }
        if (other == self)
            Py_RETURN_NONE;
        Object *heap = reinterpret_cast<Object *>(self);
        Object *source = reinterpret_cast<Object *>(other);
        if (containerRefuseWhileMoving(slots::movingOf(heap) || slots::movingOf(source)) < 0)
            return NULL;
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(heap);
        RawVector<LinkedRequestObject *> &taken = slots::itemsOf(source);
        if (items.size() + taken.size() > static_cast<size_t>(containerMaxCount)) {
            PyErr_SetString(PyExc_OverflowError, "container is full");
            return NULL;
        }
        try { // all the room first, so that nothing can fail half-way
            items.reserve(items.size() + taken.size());
        } catch (...) {
            return PyErr_NoMemory();
        }
        for (LinkedRequestObject *request : taken) {
            VORM_ASSERT(request->queue == other); // the caller keeps it alive: no code runs
            containerSetQueue(request, self);     // the reference moves with the request
            size_t slot = items.size();
            items.push_back(request);
            request->link.position = static_cast<int32_t>(slot);
            Steps::siftUp(items, slot);
        }
        taken.clear();
        if (VORM_CHECKED) {
            check(heap, self);
            check(source, other);
        }
        Py_RETURN_NONE;
    }
};

// The type objects of the two heaps differ only in their names and order.
template <class Order>
struct HeapType {
    typedef HeapStorage<Order> Storage;
    typedef Container<Storage> Methods;

    static PyObject *iter(PyObject *self) { return slotsIteratorNew(self, Order::iteratorType(), Storage::readableWhileMoving); }

    static PyMethodDef methods[];
    static PySequenceMethods sequence;

    static RequestContainerTypeObject make(const char *name, const char *doc)
    {
        RequestContainerTypeObject type = containerTypeHead<Storage>(name, doc, &sequence);
        type.tp_iter = iter;
        type.tp_methods = methods;
        return type;
    }
};

template <class Order>
PyMethodDef HeapType<Order>::methods[] = {
    VORM_CONTAINER_METHODS(Methods),
    {"merge", VORM_METH(Storage::merge), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

template <class Order>
PySequenceMethods HeapType<Order>::sequence = containerSequence<Storage>(NULL);

#endif
