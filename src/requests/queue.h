// What a request knows of the container named by its queue field: that it is
// a RequestContainer, and how to ask it whether it really stores the request.
// The containers provide both; nothing here names a concrete container.
#ifndef VORM_REQUESTS_QUEUE_H
#define VORM_REQUESTS_QUEUE_H

#include "request.h"

// The abstract base of every container; it serves type tests only.
extern PyTypeObject RequestContainerType;

inline bool isRequestContainer(PyObject *object) { return PyObject_TypeCheck(object, &RequestContainerType); }

// The container protocol as the functions behind its methods, with the
// methods' own calling convention and results: what the package's other
// native modules call instead of looking the methods up by name.
struct RequestContainerMethods {
    PyObject *(*push)(PyObject *self, PyObject *request);
    PyObject *(*pop)(PyObject *self, PyObject *unused);
    PyObject *(*get)(PyObject *self, PyObject *unused);
    PyObject *(*remove)(PyObject *self, PyObject *request);
    PyObject *(*clear)(PyObject *self, PyObject *unused);
    Py_ssize_t (*length)(PyObject *self);
};

// The type object of a concrete container, followed by the membership test of
// its storage (whether a request that names the container in its queue field
// is really stored there rather than merely claiming it) and its methods.
struct RequestContainerTypeObject : PyTypeObject {
    bool (*holds)(PyObject *container, LinkedRequestObject *request);
    RequestContainerMethods methods;
};

// A Python subclass stores its requests the way its nearest static base does;
// RequestContainer itself and its direct Python subclasses store nothing.
inline bool containerHolds(PyObject *container, LinkedRequestObject *request)
{
    PyTypeObject *type = Py_TYPE(container);
    while (type != NULL && (type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        type = type->tp_base;
    if (type == NULL || type == &RequestContainerType || !PyType_IsSubtype(type, &RequestContainerType))
        return false;
    return static_cast<RequestContainerTypeObject *>(type)->holds(container, request);
}

#endif
