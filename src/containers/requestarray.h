// RequestArray: requests in a growable array, taken from the back; delete
// fills the gap with the last request.
#ifndef VORM_CONTAINERS_REQUESTARRAY_H
#define VORM_CONTAINERS_REQUESTARRAY_H

#include <algorithm>

#include "container.h"

extern RequestContainerTypeObject RequestArrayType;
extern PyTypeObject RequestArrayIteratorType;

struct ArrayStorage {
    typedef RequestSlotsObject Object;
    typedef LinkedElement Element;
    typedef slots::Batch Batch;

    static int construct(Object *array) { return slots::construct(array); }
    static void destroy(Object *array) { slots::destroy(array); }
    static Py_ssize_t size(Object *array) { return slots::size(array); }
    static bool &moving(Object *array) { return slots::movingOf(array); }
    static constexpr bool readableWhileMoving = false;
    static bool holds(Object *array, LinkedRequestObject *request) { return slots::holds(array, request); }
    static void check(Object *array, PyObject *self) { slots::check(array, self, readableWhileMoving); }
    static int traverse(Object *array, visitproc visit, void *arg) { return slots::traverse(array, visit, arg); }

    static LinkedRequestObject *peek(Object *array)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(array);
        return items.empty() ? NULL : items.back();
    }

    static int store(Object *array, LinkedRequestObject *request)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(array);
        int32_t position = static_cast<int32_t>(items.size());
        if (vectorAppend(items, request) < 0)
            return -1;
        request->link.position = position;
        return 0;
    }

    static LinkedRequestObject *take(Object *array)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(array);
        LinkedRequestObject *request = items.back();
        items.pop_back();
        request->link.position = -1;
        return request;
    }

    // Constant time: the last request moves into the gap.
    static void remove(Object *array, LinkedRequestObject *request)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(array);
        LinkedRequestObject *last = items.back();
        items.pop_back();
        int32_t position = request->link.position;
        VORM_ASSERT(position >= 0 && static_cast<size_t>(position) <= items.size() &&
                    (static_cast<size_t>(position) == items.size() ? last : items[position]) == request);
        if (static_cast<size_t>(position) != items.size()) {
            items[position] = last;
            last->link.position = position;
        }
        request->link.position = -1;
    }

    // The walk reads the slots in place; the source keeps its references
    // until every push has run, so each slot stays valid meanwhile.
    class MoveWalk {
    public:
        explicit MoveWalk(Object *array) : array_(array), index_(0), count_(slots::itemsOf(array).size()) {}
        LinkedRequestObject *next() { return index_ < count_ ? slots::itemsOf(array_)[index_++] : NULL; }
        void moved(LinkedRequestObject *) {}
        // The moved requests leave the array; the rest, and the failed one
        // when it was not taken, move down in order. Only then are the moved
        // requests and the failed one's former queue released.
        void failed(PyObject *self, LinkedRequestObject *request)
        {
            RawVector<LinkedRequestObject *> &items = slots::itemsOf(array_);
            PyObject *oldQueue = NULL;
            size_t dropped = containerReclaimFailed(self, request, &oldQueue) ? index_ - 1 : index_;
            std::rotate(items.begin(), items.begin() + dropped, items.end());
            size_t kept = items.size() - dropped;
            for (size_t i = 0; i < kept; ++i)
                items[i]->link.position = static_cast<int32_t>(i);
            slots::releaseFrom(items, kept, slots::movingOf(array_));
            Py_XDECREF(oldQueue);
        }
        void finish()
        {
            slots::Batch batch(array_);
            for (LinkedRequestObject *request = batch.next(); request != NULL; request = batch.next())
                Py_DECREF(request);
            batch.finish();
        }

    private:
        Object *array_;
        size_t index_;
        size_t count_;
    };
};

// RequestArrayStack differs only in delete, which keeps the order.
struct ArrayStackStorage : ArrayStorage {
    static void remove(Object *array, LinkedRequestObject *request)
    {
        RawVector<LinkedRequestObject *> &items = slots::itemsOf(array);
        size_t last = items.size() - 1;
        VORM_ASSERT(slots::holds(array, request));
        for (size_t i = static_cast<size_t>(request->link.position); i < last; ++i) {
            items[i] = items[i + 1];
            items[i]->link.position = static_cast<int32_t>(i);
        }
        items.pop_back();
        request->link.position = -1;
    }
};

#endif
