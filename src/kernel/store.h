// Store: a buffer of items with a capacity. put(item) waits while it is
// full, get() while it is empty (or, with a filter, while no item passes
// it). A plain store serves its items first in, first out; a priority store
// the highest priority first, first in among equals.
#ifndef VORM_KERNEL_STORE_H
#define VORM_KERNEL_STORE_H

#include "buffer.h"

struct StoreObject : BufferObject {
    Container items;     // LinkedRequests (val the item) in a list, or PriorityRequests in a heap
    Py_ssize_t capacity; // PY_SSIZE_T_MAX: none
    bool priority;
};

extern PyTypeObject StoreType;

inline bool isStore(PyObject *object) { return PyObject_TypeCheck(object, &StoreType); }

ApplyResult storePut(StoreObject *store, ProcessObject *process, PyObject *item, double priority, PyObject **value);
ApplyResult storeGet(StoreObject *store, ProcessObject *process, PyObject *filter, PyObject **value);

#endif
