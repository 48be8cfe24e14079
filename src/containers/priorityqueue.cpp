// PriorityQueue and its iterator.
//
// A key comparison runs interpreter code, which may raise or may push to or
// pop from this very queue. So no sift compares while the array is half-way
// through a move: each one first works out where the entries go, comparing
// only keys that the untouched array holds, and then moves them all at once
// with no interpreter code in between. A comparison that raises, or after
// which the array is no longer the one that was compared, ends the operation
// before the array has been touched. The moves themselves reproduce the
// classic push-heap and pop-heap procedures slot for slot, so the layout for
// well-behaved keys (and with it the serving order of equal keys) is theirs.
#include "priorityqueue.h"

#include <new>

namespace {

typedef RawVector<PriorityQueueEntry> Entries;

// A heap of at most containerMaxCount entries is 31 levels deep.
const int maxPathLength = 64;

inline PriorityQueueObject *queueOf(PyObject *self) { return reinterpret_cast<PriorityQueueObject *>(self); }

PyObject *changedError()
{
    PyErr_SetString(PyExc_RuntimeError, "PriorityQueue changed during a comparison");
    return NULL;
}

// Positions come from the size seen before the first comparison; the version
// check makes them still valid, and the bound check keeps a slip from ever
// reading outside the array.
inline PyObject *keyAt(const Entries &items, size_t position)
{
    return position < items.size() ? items[position].key : NULL;
}

// 1 when key x is greater than key y, 0 when not, -1 with an exception set
// when the comparison raised or changed the queue. The comparison holds its
// own references to both keys: code that it runs may take them out of the
// queue, and they must not be freed while they are being compared.
int keyGreater(PriorityQueueEntries *entries, uint64_t version, PyObject *x, PyObject *y)
{
    if (x == NULL || y == NULL) {
        changedError();
        return -1;
    }
    Py_INCREF(x);
    Py_INCREF(y);
    int greater = compatKeyGreater(x, y);
    Py_DECREF(x);
    Py_DECREF(y);
    if (greater < 0)
        return -1;
    if (entries->version != version) {
        changedError();
        return -1;
    }
    return greater;
}

// In checked builds: every stored entry owns both of its references.
void checkEntries(const PriorityQueueEntries *entries)
{
    if (!VORM_CHECKED)
        return;
    size_t count = std::min(entries->items.size(), static_cast<size_t>(vormCheckedCount));
    for (size_t i = 0; i < count; ++i)
        VORM_ASSERT(entries->items[i].key != NULL && entries->items[i].item != NULL);
}

PyObject *queueNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    queueOf(self)->entries = new (std::nothrow) PriorityQueueEntries();
    if (queueOf(self)->entries == NULL) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

int queueInit(PyObject *, PyObject *, PyObject *) { return 0; }

// The whole array is detached before the first release, so code run by a
// release finds an empty, consistent queue instead of null slots.
int queueClear(PyObject *self)
{
    PriorityQueueEntries *entries = queueOf(self)->entries;
    if (entries == NULL)
        return 0;
    Entries detached;
    detached.swap(entries->items);
    ++entries->version;
    for (PriorityQueueEntry &entry : detached) {
        Py_CLEAR(entry.key);
        Py_CLEAR(entry.item);
    }
    return 0;
}

int queueTraverse(PyObject *self, visitproc visit, void *arg)
{
    PriorityQueueEntries *entries = queueOf(self)->entries;
    if (entries == NULL)
        return 0;
    for (const PriorityQueueEntry &entry : entries->items) {
        Py_VISIT(entry.key);
        Py_VISIT(entry.item);
    }
    return 0;
}

void queueDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    VORM_TRASHCAN_BEGIN(self, queueDealloc)
    queueClear(self);
    delete queueOf(self)->entries;
    queueOf(self)->entries = NULL;
    Py_TYPE(self)->tp_free(self);
    VORM_TRASHCAN_END(self)
}

Py_ssize_t queueLength(PyObject *self) { return static_cast<Py_ssize_t>(queueOf(self)->entries->items.size()); }

PyObject *emptyError()
{
    PyErr_SetString(PyExc_IndexError, "empty queue");
    return NULL;
}

PyObject *queuePush(PyObject *self, PyObject *args)
{
    PyObject *key = NULL, *item = NULL;
    // "OO" takes any two objects, so two arguments need no parser; any other
    // count gets the parser's own error.
    if (PyTuple_GET_SIZE(args) == 2) {
        key = PyTuple_GET_ITEM(args, 0);
        item = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTuple(args, "OO", &key, &item)) {
        return NULL;
    }
    PriorityQueueEntries *entries = queueOf(self)->entries;
    checkEntries(entries);
    Entries &items = entries->items;
    const uint64_t version = entries->version;
    // The new entry is ours until it is stored; a failed push drops it whole.
    PriorityQueueEntry entry = {key, item};
    Py_INCREF(key);
    Py_INCREF(item);

    // Where push-heap would leave the new entry: climb while the parent is
    // greater. Only settled entries are compared.
    const size_t count = items.size();
    size_t hole = count;
    while (hole > 0) {
        size_t parent = (hole - 1) / 2;
        int greater = keyGreater(entries, version, keyAt(items, parent), key);
        if (greater < 0) {
            Py_DECREF(key);
            Py_DECREF(item);
            return NULL;
        }
        if (!greater)
            break;
        hole = parent;
    }
    if (vectorAppend(items, entry) < 0) {
        Py_DECREF(key);
        Py_DECREF(item);
        return NULL;
    }
    for (size_t slot = count; slot > hole; slot = (slot - 1) / 2)
        items[slot] = items[(slot - 1) / 2];
    items[hole] = entry;
    ++entries->version;
    checkEntries(entries);
    Py_RETURN_NONE;
}

PyObject *queueGet(PyObject *self, PyObject *)
{
    Entries &items = queueOf(self)->entries->items;
    if (items.empty())
        return emptyError();
    Py_INCREF(items[0].item);
    return items[0].item;
}

// pop-heap in two passes over the untouched array. The descent follows the
// smaller child down to a leaf (the right one when the keys are equal),
// recording the path; pop-heap lifts every entry of that path by one level
// and then sifts the last entry up from the leaf, which compares it with the
// lifted entries from the deepest up. Those are the entries on the path, so
// both passes compare keys in place.
PyObject *queuePop(PyObject *self, PyObject *)
{
    PriorityQueueEntries *entries = queueOf(self)->entries;
    checkEntries(entries);
    Entries &items = entries->items;
    const size_t count = items.size();
    if (count == 0)
        return emptyError();
    const uint64_t version = entries->version;

    size_t path[maxPathLength];
    int depth = 0;
    path[0] = 0;
    int stop = 0;
    if (count >= 2) {
        const size_t last = count - 1; // also the size of the heap part
        size_t child = 2;
        while (child < last) {
            int greater = keyGreater(entries, version, keyAt(items, child), keyAt(items, child - 1));
            if (greater < 0)
                return NULL;
            if (greater)
                --child;
            path[++depth] = child;
            child = 2 * child + 2;
        }
        if (child == last)
            path[++depth] = last - 1;
        stop = depth;
        while (stop > 0) {
            int greater = keyGreater(entries, version, keyAt(items, path[stop]), keyAt(items, last));
            if (greater < 0)
                return NULL;
            if (!greater)
                break;
            --stop;
        }
    }

    PriorityQueueEntry served = items[0];
    PriorityQueueEntry moved = items[count - 1];
    if (count >= 2) {
        for (int level = 0; level < stop; ++level)
            items[path[level]] = items[path[level + 1]];
        items[path[stop]] = moved;
    }
    items.pop_back();
    ++entries->version;
    checkEntries(entries);
    // Any finaliser that this release runs sees the restored heap.
    Py_DECREF(served.key);
    return served.item;
}

PyObject *queueEmpty(PyObject *self, PyObject *) { return PyBool_FromLong(queueOf(self)->entries->items.empty()); }

PyObject *queueIter(PyObject *self)
{
    PriorityQueueIteratorObject *iterator = PyObject_GC_New(PriorityQueueIteratorObject, &PriorityQueueIteratorType);
    if (iterator == NULL)
        return NULL;
    Py_INCREF(self);
    iterator->container = self;
    iterator->cursor = 0;
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject *>(iterator);
}

// The end is read afresh at every step, so an iterator over a queue that
// shrank meanwhile ends instead of reading past the live entries.
PyObject *iteratorNext(PyObject *self)
{
    PriorityQueueIteratorObject *iterator = reinterpret_cast<PriorityQueueIteratorObject *>(self);
    PriorityQueueEntries *entries = queueOf(iterator->container)->entries;
    if (entries == NULL || iterator->cursor >= static_cast<Py_ssize_t>(entries->items.size()))
        return NULL;
    PyObject *item = entries->items[iterator->cursor++].item;
    Py_INCREF(item);
    return item;
}

void iteratorDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_XDECREF(reinterpret_cast<PriorityQueueIteratorObject *>(self)->container);
    Py_TYPE(self)->tp_free(self);
}

int iteratorTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<PriorityQueueIteratorObject *>(self)->container);
    return 0;
}

PyMethodDef queueMethods[] = {
    {"push", VORM_METH(queuePush), METH_VARARGS, ""},
    {"get", VORM_METH(queueGet), METH_NOARGS, ""},
    {"pop", VORM_METH(queuePop), METH_NOARGS, ""},
    {"empty", VORM_METH(queueEmpty), METH_NOARGS, ""},
    {NULL, NULL, 0, NULL},
};

PySequenceMethods queueSequence = {queueLength, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};

PyTypeObject makePriorityQueueType()
{
    // Not a request container: its base is object, and its doc string lacks
    // the module prefix.
    PyTypeObject type =
        collectedTypeHead("vorm.ext.PriorityQueue", "PriorityQueue objects", sizeof(PriorityQueueObject), NULL);
    type.tp_dealloc = queueDealloc;
    type.tp_traverse = queueTraverse;
    type.tp_clear = queueClear;
    type.tp_as_sequence = &queueSequence;
    type.tp_iter = queueIter;
    type.tp_methods = queueMethods;
    type.tp_init = queueInit;
    type.tp_new = queueNew;
    return type;
}

PyTypeObject makePriorityQueueIteratorType()
{
    return iteratorTypeHead("vorm.ext.PriorityQueueIterator", "PriorityQueueIterator objects",
                            sizeof(PriorityQueueIteratorObject), iteratorDealloc, iteratorNext, iteratorTraverse);
}

} // namespace

PyTypeObject PriorityQueueType = makePriorityQueueType();
PyTypeObject PriorityQueueIteratorType = makePriorityQueueIteratorType();
