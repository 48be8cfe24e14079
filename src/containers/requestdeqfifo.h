// RequestDEQFIFO: requests in a ring buffer that doubles when full and
// shrinks to fit when a removal leaves it at most half full.
#ifndef VORM_CONTAINERS_REQUESTDEQFIFO_H
#define VORM_CONTAINERS_REQUESTDEQFIFO_H

#include "container.h"

struct RequestRing {
    int32_t count;
    int32_t capacity; // never below 1
    int32_t head;     // slot of the earliest request
    int32_t tail;     // slot the next push stores into
    LinkedRequestObject **slots;
    uint64_t state; // changes with every mutation, for live iterators
    bool moving;
};

// Every change of count, head, tail or buffer goes through one of the ring's
// own steps (store, dropHead, remove, ringResize), and each of them calls this.
inline void ringChanged(RequestRing *ring) { ++ring->state; }

struct RequestDEQFIFOObject {
    PyObject_HEAD
    RequestRing *ring;
};

extern RequestContainerTypeObject RequestDEQFIFOType;
extern PyTypeObject RequestDEQFIFOIteratorType;

// The one place where the buffer changes; false (and nothing changed) when no
// buffer could be obtained.
bool ringResize(RequestRing *ring, int32_t capacity);

struct DEQFIFOStorage {
    typedef RequestDEQFIFOObject Object;
    typedef LinkedElement Element;

    static int32_t wrap(const RequestRing *ring, int32_t slot) { return slot % ring->capacity; }

    // Shrinking only saves memory, so a failed shrink keeps the larger buffer.
    static void shrinkIfSparse(RequestRing *ring)
    {
        if (ring->count <= ring->capacity / 2)
            ringResize(ring, ring->count > 1 ? ring->count : 1);
    }

    // Takes the head request out without the shrink (clear and moveTo shrink
    // once at the end).
    static LinkedRequestObject *takeHead(RequestRing *ring)
    {
        LinkedRequestObject *request = dropHead(ring);
        request->link.position = -1;
        return request;
    }

    // The same for a request that moved on: its link words belong to the
    // container it moved to.
    static LinkedRequestObject *dropHead(RequestRing *ring)
    {
        LinkedRequestObject *request = ring->slots[ring->head];
        --ring->count;
        ring->head = wrap(ring, ring->head + 1);
        ringChanged(ring);
        return request;
    }

    static int construct(Object *deque);
    static void destroy(Object *deque);

    static Py_ssize_t size(Object *deque) { return deque->ring->count; }
    static bool &moving(Object *deque) { return deque->ring->moving; }
    static constexpr bool readableWhileMoving = false;
    static LinkedRequestObject *peek(Object *deque)
    {
        RequestRing *ring = deque->ring;
        return ring->count == 0 ? NULL : ring->slots[ring->head];
    }

    static int store(Object *deque, LinkedRequestObject *request)
    {
        RequestRing *ring = deque->ring;
        if (ring->count >= ring->capacity) {
            if (ring->count > containerMaxCount / 2) {
                PyErr_SetString(PyExc_OverflowError, "container is full");
                return -1;
            }
            if (!ringResize(ring, 2 * ring->count)) {
                PyErr_NoMemory();
                return -1;
            }
        }
        ++ring->count;
        ring->slots[ring->tail] = request;
        request->link.position = ring->tail;
        ring->tail = wrap(ring, ring->tail + 1);
        ringChanged(ring);
        return 0;
    }

    static LinkedRequestObject *take(Object *deque)
    {
        LinkedRequestObject *request = takeHead(deque->ring);
        shrinkIfSparse(deque->ring);
        return request;
    }

    // A slot counts only inside the live stretch from head; outside it a slot
    // may still hold the address of a request that left.
    static bool holds(Object *deque, LinkedRequestObject *request)
    {
        const RequestRing *ring = deque->ring;
        int32_t position = request->link.position;
        if (position < 0 || position >= ring->capacity)
            return false;
        int32_t offset = wrap(ring, position - ring->head + ring->capacity);
        return offset < ring->count && ring->slots[position] == request;
    }

    // The requests behind the gap move one slot towards the head.
    static void remove(Object *deque, LinkedRequestObject *request)
    {
        RequestRing *ring = deque->ring;
        int32_t slot = request->link.position;
        VORM_ASSERT(holds(deque, request));
        for (int32_t next = wrap(ring, slot + 1); next != ring->tail; next = wrap(ring, next + 1)) {
            ring->slots[slot] = ring->slots[next];
            ring->slots[slot]->link.position = slot;
            slot = next;
        }
        --ring->count;
        ring->tail = wrap(ring, ring->tail + ring->capacity - 1);
        ringChanged(ring);
        shrinkIfSparse(ring);
    }

    // The live stretch runs count slots from head and ends at tail; each of
    // its requests has its slot in its position word and the deque as its
    // queue, except while a move hands them over in place.
    static void check(Object *deque, PyObject *self)
    {
        const RequestRing *ring = deque->ring;
        if (ring == NULL)
            return;
        VORM_ASSERT(ring->capacity >= 1 && ring->count >= 0 && ring->count <= ring->capacity);
        VORM_ASSERT(ring->head >= 0 && ring->head < ring->capacity);
        VORM_ASSERT(ring->tail == wrap(ring, ring->head + ring->count));
        if (ring->moving)
            return;
        int32_t count = static_cast<int32_t>(std::min<Py_ssize_t>(ring->count, vormCheckedCount));
        for (int32_t i = 0; i < count; ++i) {
            int32_t slot = wrap(ring, ring->head + i);
            VORM_ASSERT(ring->slots[slot]->link.position == slot);
            VORM_ASSERT(ring->slots[slot]->queue == self);
        }
    }

    static int traverse(Object *deque, visitproc visit, void *arg)
    {
        const RequestRing *ring = deque->ring;
        if (ring == NULL)
            return 0;
        for (int32_t i = 0; i < ring->count; ++i)
            Py_VISIT(reinterpret_cast<PyObject *>(ring->slots[wrap(ring, ring->head + i)]));
        return 0;
    }

    // Clear takes from the head one request at a time, so the ring is valid
    // whenever a release runs code, then drops to one slot. A deque whose
    // construction failed has no ring, and is released through here too.
    class Batch {
    public:
        explicit Batch(Object *deque) : ring_(deque->ring), remaining_(ring_ != NULL ? ring_->count : 0) {}
        LinkedRequestObject *next()
        {
            if (remaining_ <= 0 || ring_->count == 0)
                return NULL;
            --remaining_;
            return takeHead(ring_);
        }
        void finish()
        {
            if (ring_ != NULL)
                shrinkIfSparse(ring_);
        }

    private:
        RequestRing *ring_;
        int32_t remaining_;
    };

    // The walk reads the slots in place; the source keeps its references
    // until every push has run.
    class MoveWalk {
    public:
        explicit MoveWalk(Object *deque) : ring_(deque->ring), index_(0), count_(deque->ring->count) {}
        LinkedRequestObject *next()
        {
            return index_ < count_ ? ring_->slots[wrap(ring_, ring_->head + index_++)] : NULL;
        }
        void moved(LinkedRequestObject *) {}
        // The failed request, if it comes back, becomes the head; code run by
        // its push may have rewritten its link word, so it is written again
        // before any release can run code. Its former queue is released last.
        void failed(PyObject *self, LinkedRequestObject *request)
        {
            int32_t moved = index_ - 1;
            PyObject *oldQueue = NULL;
            if (containerReclaimFailed(self, request, &oldQueue))
                request->link.position = wrap(ring_, ring_->head + moved);
            else
                ++moved;
            drop(moved);
            Py_XDECREF(oldQueue);
        }
        void finish() { drop(count_); }

    private:
        // A release can run code that uses the deque, so every moved request
        // leaves the ring before the first release. Without room to hold
        // them meanwhile, the deque refuses changes while they are released.
        void drop(int32_t moved)
        {
            RawVector<LinkedRequestObject *> gone;
            try {
                gone.reserve(moved);
            } catch (...) {
                MovingGuard guard(ring_->moving);
                for (int32_t i = 0; i < moved && ring_->count > 0; ++i)
                    Py_DECREF(dropHead(ring_));
                shrinkIfSparse(ring_);
                return;
            }
            for (int32_t i = 0; i < moved && ring_->count > 0; ++i)
                gone.push_back(dropHead(ring_));
            shrinkIfSparse(ring_);
            for (LinkedRequestObject *request : gone)
                Py_DECREF(request);
        }

        RequestRing *ring_;
        int32_t index_;
        int32_t count_;
    };
};

#endif
