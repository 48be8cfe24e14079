// RequestListFIFO: requests threaded into a ring through their own link
// words; no storage of its own.
#ifndef VORM_CONTAINERS_REQUESTLISTFIFO_H
#define VORM_CONTAINERS_REQUESTLISTFIFO_H

#include "container.h"

struct RequestListObject {
    PyObject_HEAD
    PyObject *head; // the first request (no extra reference), or an owned None
    int32_t count;
    bool moving;
};

extern RequestContainerTypeObject RequestListFIFOType;
extern PyTypeObject RequestListFIFOIteratorType;

// The storage policy of both list types; Front says where push stores.
template <bool Front>
struct ListStorage {
    typedef RequestListObject Object;
    typedef LinkedElement Element;

    static LinkedRequestObject *headOf(Object *list)
    {
        return list->head == Py_None || list->head == NULL ? NULL : reinterpret_cast<LinkedRequestObject *>(list->head);
    }

    // A None head is owned, a request head is covered by the list's own
    // reference to that request.
    static void setHead(Object *list, LinkedRequestObject *request)
    {
        PyObject *old = list->head;
        if (request != NULL) {
            list->head = reinterpret_cast<PyObject *>(request);
        } else {
            Py_INCREF(Py_None);
            list->head = Py_None;
        }
        if (old == Py_None)
            Py_DECREF(old);
    }

    // Links request in just before the head, that is at the tail.
    static void linkAtTail(Object *list, LinkedRequestObject *request)
    {
        LinkedRequestObject *head = headOf(list);
        if (head == NULL) {
            request->link.listNext = request;
            request->listPrev = request;
            setHead(list, request);
            return;
        }
        LinkedRequestObject *tail = head->listPrev;
        request->listPrev = tail;
        request->link.listNext = head;
        head->listPrev = request;
        tail->link.listNext = request;
    }

    // Takes request out of the ring; its reset links mark it as not stored.
    static void unlink(Object *list, LinkedRequestObject *request)
    {
        VORM_ASSERT(request->listPrev != NULL && request->listPrev->link.listNext == request);
        LinkedRequestObject *next = request->link.listNext;
        VORM_ASSERT(next->listPrev == request);
        if (next == request) {
            setHead(list, NULL);
        } else {
            next->listPrev = request->listPrev;
            request->listPrev->link.listNext = next;
            if (headOf(list) == request)
                setHead(list, next);
        }
        resetLinks(request);
    }

    static int construct(Object *list)
    {
        Py_INCREF(Py_None);
        list->head = Py_None;
        list->count = 0;
        list->moving = false;
        return 0;
    }
    static void destroy(Object *list)
    {
        if (list->head == Py_None) // a request head is not an owned reference
            Py_CLEAR(list->head);
    }

    static Py_ssize_t size(Object *list) { return list->count; }
    static bool &moving(Object *list) { return list->moving; }
    static constexpr bool readableWhileMoving = false;
    static LinkedRequestObject *peek(Object *list) { return headOf(list); }

    static int store(Object *list, LinkedRequestObject *request)
    {
        if (list->count >= containerMaxCount) {
            PyErr_SetString(PyExc_OverflowError, "container is full");
            return -1;
        }
        linkAtTail(list, request);
        if (Front)
            setHead(list, request);
        ++list->count;
        return 0;
    }

    static LinkedRequestObject *take(Object *list)
    {
        LinkedRequestObject *head = headOf(list);
        unlink(list, head);
        --list->count;
        return head;
    }

    // Every way out of a list resets listPrev, and no other container writes
    // it, so a non-null listPrev under this queue means stored here.
    static bool holds(Object *list, LinkedRequestObject *request)
    {
        return request->queue == reinterpret_cast<PyObject *>(list) && request->listPrev != NULL;
    }

    static void remove(Object *list, LinkedRequestObject *request)
    {
        unlink(list, request);
        --list->count;
    }

    // Each link of the ring is matched by the link back, every request on it
    // has the list as its queue, and it holds count requests; a running move
    // unlinks its requests one by one and corrects the count at the end.
    static void check(Object *list, PyObject *self)
    {
        VORM_ASSERT(list->head != NULL);
        Py_ssize_t seen = 0;
        LinkedRequestObject *head = headOf(list);
        for (LinkedRequestObject *request = head; request != NULL && seen < vormCheckedCount;) {
            VORM_ASSERT(request->link.listNext->listPrev == request);
            VORM_ASSERT(request->listPrev->link.listNext == request);
            VORM_ASSERT(request->queue == self);
            ++seen;
            VORM_ASSERT(seen <= list->count);
            request = request->link.listNext;
            if (request == head)
                break;
        }
        VORM_ASSERT(list->moving || seen == std::min<Py_ssize_t>(list->count, vormCheckedCount));
    }

    static int traverse(Object *list, visitproc visit, void *arg)
    {
        LinkedRequestObject *head = headOf(list);
        if (head == NULL) {
            Py_VISIT(list->head);
            return 0;
        }
        LinkedRequestObject *request = head;
        do {
            Py_VISIT(reinterpret_cast<PyObject *>(request));
            request = request->link.listNext;
        } while (request != head);
        return 0;
    }

    // Clearing takes one request at a time from the head, so the list is a
    // valid (shorter) list whenever a release runs code.
    class Batch {
    public:
        explicit Batch(Object *list) : list_(list), remaining_(list->count) {}
        LinkedRequestObject *next()
        {
            if (remaining_ <= 0 || headOf(list_) == NULL)
                return NULL;
            --remaining_;
            return take(list_);
        }
        void finish() {}

    private:
        Object *list_;
        int32_t remaining_;
    };

    // Each request leaves the ring before its push, because the target's push
    // rewrites its link words; the count stays until the walk ends.
    class MoveWalk {
    public:
        explicit MoveWalk(Object *list) : list_(list), remaining_(list->count), moved_(0) {}
        LinkedRequestObject *next()
        {
            LinkedRequestObject *head = headOf(list_);
            if (remaining_ <= 0 || head == NULL)
                return NULL;
            --remaining_;
            unlink(list_, head);
            return head;
        }
        void moved(LinkedRequestObject *request)
        {
            ++moved_;
            Py_DECREF(request);
        }
        // The count is made true and the failed request linked back in
        // before anything is released.
        void failed(PyObject *self, LinkedRequestObject *request)
        {
            list_->count -= moved_;
            PyObject *oldQueue = NULL;
            if (containerReclaimFailed(self, request, &oldQueue)) {
                linkAtTail(list_, request);
                setHead(list_, request); // back at the front, where it was taken
                Py_XDECREF(oldQueue);
                return;
            }
            --list_->count;
            Py_DECREF(request);
        }
        void finish() { list_->count -= moved_; }

    private:
        Object *list_;
        int32_t remaining_;
        int32_t moved_;
    };
};

typedef ListStorage<false> ListFIFOStorage;
typedef ListStorage<true> ListStackStorage;

PyObject *requestListIter(PyObject *self);

#endif
