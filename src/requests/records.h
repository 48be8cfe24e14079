// The records of the request types as they lie in memory, and the steps on
// them that need no type object. Kept apart from request.h so that the
// package's other native modules, which reach the types only through the
// core's C interface, can include them without naming a symbol of the core.
#ifndef VORM_REQUESTS_RECORDS_H
#define VORM_REQUESTS_RECORDS_H

#include "../base/compat.h"

// Every object field owns one reference and holds at least None from
// construction until requestClear runs.
struct RequestObject {
    PyObject_HEAD
    PyObject *parent;
    PyObject *name;
    PyObject *prev;
    PyObject *val;
    PyObject *queue;
    double firedTime;
    PyObject *target;
    PyObject *canceled;
};

struct LinkedRequestObject;

// The first link word: a ring pointer while a list container holds the
// request, a slot index while an array, deque or heap holds it.
union RequestLinkWord {
    LinkedRequestObject *listNext;
    int32_t position;
};

// Link words are plain addresses and numbers: never reference-counted and never
// visited by the collector; the holding container owns the references.
struct LinkedRequestObject : RequestObject {
    RequestLinkWord link;
    LinkedRequestObject *listPrev;
};

struct PriorityRequestObject : LinkedRequestObject {
    PyObject *id;
    double priority;
};

struct TimeRequestObject : PriorityRequestObject {
    double futureTime;
};

// Replaces an owned field: the new reference is stored before the old one is
// released, because releasing can run arbitrary code that reads the field.
inline void requestReplaceField(PyObject **field, PyObject *value)
{
    PyObject *old = *field;
    Py_INCREF(value);
    *field = value;
    Py_XDECREF(old);
}

inline void resetLinks(LinkedRequestObject *request)
{
    request->link.listNext = NULL;
    request->link.position = -1;
    request->listPrev = NULL;
}

#endif
