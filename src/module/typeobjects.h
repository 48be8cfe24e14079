// Building the static type objects: the parts that many types share.
#ifndef VORM_MODULE_TYPEOBJECTS_H
#define VORM_MODULE_TYPEOBJECTS_H

#include "compat.h"

// An iterator type: subclassable, not collected (it owns only plain
// references), no constructor, its own iterator.
inline PyTypeObject iteratorTypeHead(const char *name, const char *doc, Py_ssize_t size, destructor dealloc,
                                     iternextfunc next)
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = name;
    type.tp_doc = doc;
    type.tp_basicsize = size;
    type.tp_dealloc = dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = next;
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
