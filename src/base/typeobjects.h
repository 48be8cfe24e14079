// Building the static type objects: the parts that many types share.
#ifndef VORM_BASE_TYPEOBJECTS_H
#define VORM_BASE_TYPEOBJECTS_H

#include "compat.h"

// An iterator type: subclassable, no constructor, its own iterator. It is
// collected, as collections.deque's iterators are, so that a cycle through an
// iterator (a request whose val iterates its own container) is freed; the
// objects it refers to break the cycle, so it needs no clear slot.
inline PyTypeObject iteratorTypeHead(const char *name, const char *doc, Py_ssize_t size, destructor dealloc,
                                     iternextfunc next, traverseproc traverse)
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = name;
    type.tp_doc = doc;
    type.tp_basicsize = size;
    type.tp_dealloc = dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = traverse;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = next;
    type.tp_free = PyObject_GC_Del;
    return type;
}

// A request or container type: subclassable and collected.
inline PyTypeObject collectedTypeHead(const char *name, const char *doc, Py_ssize_t size, PyTypeObject *base)
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = name;
    type.tp_doc = doc;
    type.tp_basicsize = size;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_base = base;
    return type;
}

#endif
