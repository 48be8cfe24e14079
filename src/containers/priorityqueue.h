// PriorityQueue: a binary min-heap of (key, item) pairs of arbitrary objects,
// ordered by the interpreter's comparison of the keys.
#ifndef VORM_CONTAINERS_PRIORITYQUEUE_H
#define VORM_CONTAINERS_PRIORITYQUEUE_H

#include <cstdint>

#include "container.h"

extern PyTypeObject PriorityQueueType;
extern PyTypeObject PriorityQueueIteratorType;

// Both members are owned references, never null while the entry is stored.
struct PriorityQueueEntry {
    PyObject *key;
    PyObject *item;
};

// A key comparison can run code that uses the same queue; every change of
// the array advances `version`, so a sift can tell that what it compared is
// no longer what the array holds.
struct PriorityQueueEntries {
    RawVector<PriorityQueueEntry> items;
    uint64_t version = 0;
};

struct PriorityQueueObject {
    PyObject_HEAD
    PriorityQueueEntries *entries;
};

struct PriorityQueueIteratorObject {
    PyObject_HEAD
    PyObject *container;
    Py_ssize_t cursor;
};

#endif
