// The request container protocol: the method set that every container shares,
// written once over a storage policy, plus the heap steps.
//
// A storage policy S describes one container family:
//   typedef ... Object;             the container's instance record
//   typedef ... Element;            element traits (type, messages, create)
//   size(c), peek(c)                count; request at the taking end or NULL
//   store(c, r) -> 0 / -1           place r at the storing end (may fail: MemoryError)
//   take(c)                         remove the request at the taking end
//   holds(c, r)                     r is really stored in c (not merely claimed)
//   check(c, self)                  assert the storage's invariants (checked builds)
//   remove(c, r)                    take out a request that holds() vouched for
//   Batch(c)                        empties c step by step for clear: next()
//                                   yields each request with the storage
//                                   already consistent, finish() tidies up
//   moving(c)                       the flag that marks a running moveTo
//   readableWhileMoving             whether the storage holds only its own
//                                   requests while moveTo runs
//   MoveWalk                        how moveTo walks, hands over and recovers
// Every step that changes the storage tells live iterators itself, so that no
// path (a batch, a walk's recovery) can change it behind their back.
// None of the policy's steps runs interpreter code; the protocol runs it (a
// release, a call of the target's push) only where the container is
// consistent, and re-reads state afterwards.
#ifndef VORM_CONTAINERS_CONTAINER_H
#define VORM_CONTAINERS_CONTAINER_H

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "../base/checks.h"
#include "../base/names.h"
#include "../base/typeobjects.h"
#include "../requests/queue.h"
#include "../requests/request.h"

// Storage of the array-backed containers comes from the raw allocator, so
// that tracemalloc sees it on Python 3.
template <typename T>
struct RawAllocator {
    typedef T value_type;
    RawAllocator() noexcept {}
    template <typename U>
    RawAllocator(const RawAllocator<U> &) noexcept
    {
    }
    T *allocate(size_t count)
    {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T))
            throw std::bad_alloc();
        void *block = compatRawMalloc(count * sizeof(T));
        if (block == NULL)
            throw std::bad_alloc();
        return static_cast<T *>(block);
    }
    void deallocate(T *block, size_t) noexcept { compatRawFree(block); }
    template <typename U>
    bool operator==(const RawAllocator<U> &) const noexcept
    {
        return true;
    }
    template <typename U>
    bool operator!=(const RawAllocator<U> &) const noexcept
    {
        return false;
    }
};

template <typename T>
using RawVector = std::vector<T, RawAllocator<T>>;

// Positions live in a signed 32-bit link word.
const Py_ssize_t containerMaxCount = std::numeric_limits<int32_t>::max();

// The slot array of RequestArray and the two heaps.
struct RequestSlots {
    RawVector<LinkedRequestObject *> items;
    bool moving = false;
};

// Appends without letting a C++ exception reach the interpreter. Growing is
// rare and kept out of line, so that the common append inlines to a store.
template <typename T>
[[gnu::noinline]] int vectorGrowAppend(RawVector<T> &vector, const T &value)
{
    if (static_cast<Py_ssize_t>(vector.size()) >= containerMaxCount) {
        PyErr_SetString(PyExc_OverflowError, "container is full");
        return -1;
    }
    try {
        vector.push_back(value);
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

template <typename T>
inline int vectorAppend(RawVector<T> &vector, const T &value)
{
    size_t size = vector.size();
    if (size < vector.capacity() && static_cast<Py_ssize_t>(size) < containerMaxCount) {
        vector.push_back(value);
        return 0;
    }
    return vectorGrowAppend(vector, value);
}

// Element traits of the three element types.
struct LinkedElement {
    static PyTypeObject *type() { return &LinkedRequestType; }
    static constexpr const char *pushMessage = "push() argument val must be a LinkedRequest";
    static constexpr const char *deleteMessage = "delete() argument val must be a LinkedRequest";
    static PyObject *create(PyObject *args, PyObject *kwds) { return linkedRequestCreate(args, kwds); }
};
struct PriorityElement {
    static PyTypeObject *type() { return &PriorityRequestType; }
    static constexpr const char *pushMessage = "push() argument val must be a PriorityRequest";
    static constexpr const char *deleteMessage = "delete() argument val must be a PriorityRequest";
    static PyObject *create(PyObject *args, PyObject *kwds) { return priorityRequestCreate(args, kwds); }
};
struct TimeElement {
    static PyTypeObject *type() { return &TimeRequestType; }
    static constexpr const char *pushMessage = "push() argument val must be a TimeRequest";
    static constexpr const char *deleteMessage = "delete() argument val must be a TimeRequest";
    static PyObject *create(PyObject *args, PyObject *kwds) { return timeRequestCreate(args, kwds); }
};

// Shared checks and messages. The checks and queue updates run on every push
// and pop, so they are inline; only their error paths are calls.
int containerMovingError();
PyObject *containerReadWhileMovingError();
inline int containerRefuseWhileMoving(bool moving) { return moving ? containerMovingError() : 0; }
PyObject *containerEmptyError();
// The old queue is the container itself, which its caller keeps alive, or
// None: releasing it runs no code.
inline void containerSetQueueNone(LinkedRequestObject *request) { requestReplaceField(&request->queue, Py_None); }
inline void containerSetQueue(LinkedRequestObject *request, PyObject *container)
{
    requestReplaceField(&request->queue, container);
}
PyObject *containerCallPush(PyObject *to, LinkedRequestObject *request);
// After a failed push in moveTo: true when the request goes back to the source
// (its queue set to the source again), false when another container took it.
// The queue that the request held until now is handed to *old, not released:
// the target's push may have made it a claim whose release runs code, which
// must wait until the source is consistent again.
bool containerReclaimFailed(PyObject *self, LinkedRequestObject *request, PyObject **old);
PyObject *containerMutatedError();
bool containerCheckMoveTarget(PyObject *self, PyObject *to, bool *nothingToDo);

// Marks a container as being moved for the duration of its moveTo.
class MovingGuard {
public:
    explicit MovingGuard(bool &flag) : flag_(flag) { flag_ = true; }
    ~MovingGuard() { flag_ = false; }
    MovingGuard(const MovingGuard &) = delete;
    MovingGuard &operator=(const MovingGuard &) = delete;

private:
    bool &flag_;
};

template <class S>
struct Container {
    typedef typename S::Object Object;
    typedef typename S::Element Element;

    static Object *of(PyObject *self) { return reinterpret_cast<Object *>(self); }

    // In checked builds every entry and exit finds the storage whole: code
    // run in between (a finaliser, the target's push) may call in at any of
    // them.
    static void verify(PyObject *self)
    {
        if (VORM_CHECKED)
            S::check(of(self), self);
    }

    static PyObject *typeError(const char *message)
    {
        PyErr_SetString(PyExc_TypeError, message);
        return NULL;
    }

    static PyObject *push(PyObject *self, PyObject *val)
    {
        if (!PyObject_TypeCheck(val, Element::type()))
            return typeError(Element::pushMessage);
        LinkedRequestObject *request = reinterpret_cast<LinkedRequestObject *>(val);
        if (request->queue != Py_None) {
            PyErr_SetString(PyExc_ValueError, "already in queue");
            return NULL;
        }
        Object *container = of(self);
        verify(self);
        if (containerRefuseWhileMoving(S::moving(container)) < 0)
            return NULL;
        Py_INCREF(val);
        if (S::store(container, request) < 0) {
            Py_DECREF(val);
            return NULL;
        }
        // The queue field held None (checked above, and storing runs no
        // code); its reference becomes the result, so None is neither
        // released nor taken again: before 3.12 every reference count change
        // of None is a store that the next one waits for.
        Py_INCREF(self);
        request->queue = self;
        verify(self);
        return Py_None;
    }

    static PyObject *create(PyObject *, PyObject *args, PyObject *kwds) { return Element::create(args, kwds); }

    // While its moveTo runs, a container that walks its storage in place
    // still stores requests that already belong to the target, so it answers
    // only len() and empty(); a heap takes each request out before handing it
    // on and stays readable.
    static PyObject *get(PyObject *self, PyObject *)
    {
        verify(self);
        if (!S::readableWhileMoving && S::moving(of(self)))
            return containerReadWhileMovingError();
        LinkedRequestObject *request = S::peek(of(self));
        if (request == NULL)
            return containerEmptyError();
        Py_INCREF(request);
        return reinterpret_cast<PyObject *>(request);
    }

    // The container's reference passes to the caller.
    static PyObject *pop(PyObject *self, PyObject *)
    {
        Object *container = of(self);
        verify(self);
        if (S::size(container) == 0)
            return containerEmptyError();
        if (containerRefuseWhileMoving(S::moving(container)) < 0)
            return NULL;
        LinkedRequestObject *request = S::take(container);
        containerSetQueueNone(request);
        verify(self);
        return reinterpret_cast<PyObject *>(request);
    }

    static PyObject *remove(PyObject *self, PyObject *val)
    {
        if (!PyObject_TypeCheck(val, Element::type()))
            return typeError(Element::deleteMessage);
        Object *container = of(self);
        verify(self);
        if (S::size(container) == 0)
            return containerEmptyError();
        LinkedRequestObject *request = reinterpret_cast<LinkedRequestObject *>(val);
        // A request may only claim this container through its queue
        // attribute; its link words are trusted only once the storage agrees.
        if (request->queue != self || !S::holds(container, request)) {
            PyErr_SetString(PyExc_ValueError, "not in queue");
            return NULL;
        }
        if (containerRefuseWhileMoving(S::moving(container)) < 0)
            return NULL;
        S::remove(container, request);
        containerSetQueueNone(request);
        verify(self);
        Py_DECREF(val); // may run a finaliser; the container is consistent by now
        Py_RETURN_NONE;
    }

    static PyObject *empty(PyObject *self, PyObject *) { return PyBool_FromLong(S::size(of(self)) == 0); }

    // The storage hands the requests out through a batch that keeps the
    // container consistent at every release, so code run by a release sees a
    // valid container. A request whose queue was changed meanwhile, or that
    // was pushed back into this container, keeps its new queue. The
    // collector's clear leaves the queue fields alone: the requests' own
    // clear slots drop those references.
    static void drain(PyObject *self, bool freeQueues)
    {
        Object *container = of(self);
        typename S::Batch batch(container);
        for (LinkedRequestObject *request = batch.next(); request != NULL; request = batch.next()) {
            if (freeQueues && request->queue == self && !S::holds(container, request))
                containerSetQueueNone(request);
            if (freeQueues) // the collector's clear meets requests it has cleared
                verify(self);
            Py_DECREF(request);
        }
        batch.finish();
    }

    static PyObject *clear(PyObject *self, PyObject *)
    {
        verify(self);
        if (containerRefuseWhileMoving(S::moving(of(self))) < 0)
            return NULL;
        drain(self, true);
        verify(self);
        Py_RETURN_NONE;
    }

    // The target's push may run any code. The source refuses changes while
    // the walk runs (MovingGuard), so the walk never reads stale storage; the
    // releases that follow run after the guard, on a consistent container.
    static PyObject *moveTo(PyObject *self, PyObject *to)
    {
        bool nothingToDo = false;
        if (!containerCheckMoveTarget(self, to, &nothingToDo))
            return NULL;
        Object *container = of(self);
        verify(self);
        if (nothingToDo || S::size(container) == 0)
            Py_RETURN_NONE;
        if (containerRefuseWhileMoving(S::moving(container)) < 0)
            return NULL;
        typename S::MoveWalk walk(container);
        LinkedRequestObject *failed = NULL;
        {
            MovingGuard guard(S::moving(container));
            for (LinkedRequestObject *request = walk.next(); request != NULL; request = walk.next()) {
                containerSetQueueNone(request);
                verify(self);
                PyObject *result = containerCallPush(to, request);
                if (result == NULL) {
                    failed = request;
                    break;
                }
                Py_DECREF(result);
                walk.moved(request);
            }
        }
        if (failed != NULL) {
            walk.failed(self, failed);
            verify(self);
            return NULL;
        }
        walk.finish();
        verify(self);
        Py_RETURN_NONE;
    }

    static Py_ssize_t length(PyObject *self) { return S::size(of(self)); }

    static bool holds(PyObject *self, LinkedRequestObject *request) { return S::holds(of(self), request); }

    static int traverse(PyObject *self, visitproc visit, void *arg) { return S::traverse(of(self), visit, arg); }

    static int clearSlot(PyObject *self)
    {
        drain(self, false);
        return 0;
    }

    static void dealloc(PyObject *self)
    {
        PyObject_GC_UnTrack(self);
        VORM_TRASHCAN_BEGIN(self, dealloc)
        clearSlot(self);
        S::destroy(of(self));
        Py_TYPE(self)->tp_free(self);
        VORM_TRASHCAN_END(self)
    }

    static PyObject *newSlot(PyTypeObject *type, PyObject *, PyObject *)
    {
        PyObject *self = type->tp_alloc(type, 0);
        if (self == NULL)
            return NULL;
        if (S::construct(of(self)) < 0) {
            Py_DECREF(self);
            return NULL;
        }
        return self;
    }

    static int initSlot(PyObject *, PyObject *, PyObject *) { return 0; }
};

// Method table entries, in the protocol's order.
// clang-format off
#define VORM_CONTAINER_METHODS(C)                                           \
    {"push", VORM_METH(C::push), METH_O, ""},                               \
    {"create", VORM_METH(C::create), METH_VARARGS | METH_KEYWORDS, ""},     \
    {"get", VORM_METH(C::get), METH_NOARGS, ""},                            \
    {"pop", VORM_METH(C::pop), METH_NOARGS, ""},                            \
    {"delete", VORM_METH(C::remove), METH_O, ""},                           \
    {"empty", VORM_METH(C::empty), METH_NOARGS, ""},                        \
    {"clear", VORM_METH(C::clear), METH_NOARGS, ""},                        \
    {"moveTo", VORM_METH(C::moveTo), METH_O, ""}
// clang-format on

// The type object of a concrete container; the caller adds what differs.
template <class S>
RequestContainerMethods containerMethods()
{
    typedef Container<S> C;
    RequestContainerMethods methods = {C::push, C::pop, C::get, C::remove, C::clear, C::length};
    return methods;
}

template <class S>
RequestContainerTypeObject containerTypeHead(const char *name, const char *doc, PySequenceMethods *sequence)
{
    typedef Container<S> C;
    RequestContainerTypeObject type = {
        collectedTypeHead(name, doc, sizeof(typename S::Object), &RequestContainerType), C::holds,
        containerMethods<S>()};
    type.tp_dealloc = C::dealloc;
    type.tp_traverse = C::traverse;
    type.tp_clear = C::clearSlot;
    type.tp_as_sequence = sequence;
    type.tp_init = C::initSlot;
    type.tp_new = C::newSlot;
    return type;
}

// A subtype of a concrete container. It inherits its base's slots but has a
// method table of its own, generated like its base's over its own policy:
// CPython 3.11 and later specialise a call of a C method only for instances
// of the very type that defines it. The collector slots are set again
// because a type that declares itself collected inherits neither of them.
template <class S>
RequestContainerTypeObject containerSubtypeHead(const char *name, const char *doc, PyTypeObject *base,
                                                PyMethodDef *methods)
{
    RequestContainerTypeObject type = {collectedTypeHead(name, doc, sizeof(typename S::Object), base),
                                       Container<S>::holds, containerMethods<S>()};
    type.tp_traverse = Container<S>::traverse;
    type.tp_clear = Container<S>::clearSlot;
    type.tp_methods = methods;
    return type;
}

// A sequence table with only the length (and, for the array, the item).
template <class S>
PySequenceMethods containerSequence(ssizeargfunc item)
{
    PySequenceMethods sequence = {Container<S>::length, NULL, NULL, item, NULL, NULL, NULL, NULL, NULL, NULL};
    return sequence;
}

// The slot arrays and the heap steps complete the protocol.
#include "slots.h"
#include "heap.h"

#endif
