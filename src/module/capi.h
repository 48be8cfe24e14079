// The C interface of vorm.ext for the package's other native modules, as
// CPython's datetime offers its own: a record of type objects and functions,
// published as the module's private attribute _C_API (a capsule of this name).
// A module that uses it includes ../requests/records.h for the records'
// layout and reaches every symbol of the core through this record, never by
// name: the core's symbols are not exported.
#ifndef VORM_MODULE_CAPI_H
#define VORM_MODULE_CAPI_H

#include "../requests/queue.h"

#define VORM_CAPI_NAME "vorm.ext._C_API"

// Raised whenever the record changes shape.
const int vormCapiVersion = 1;

struct VormCoreAPI {
    int version;
    // The sizes the core was built with: a module compiled against other
    // headers refuses to load instead of misreading the records.
    Py_ssize_t requestSize, linkedRequestSize, priorityRequestSize, timeRequestSize;

    PyTypeObject *requestType, *linkedRequestType, *priorityRequestType, *timeRequestType;
    PyTypeObject *containerType; // RequestContainer, the abstract base
    PyTypeObject *listFIFOType, *binaryHeapType, *timeHeapType;

    // The methods of a container whose type is one of the core's own, or
    // NULL for a Python subclass, whose methods may be its own and are
    // called by name.
    const RequestContainerMethods *(*methodsOf)(PyObject *container);
    // Whether a request's queue really stores it (rather than being claimed).
    bool (*isHeld)(PyObject *request);
};

// The record of the loaded core, or NULL with ImportError set.
inline const VormCoreAPI *vormImportCoreAPI()
{
    // The submodule is imported by name: while the package itself is still
    // being imported it has no attribute ext yet.
    PyObject *module = PyImport_ImportModule("vorm.ext");
    PyObject *capsule = module != NULL ? PyObject_GetAttrString(module, "_C_API") : NULL;
    Py_XDECREF(module);
    if (capsule == NULL)
        return NULL;
    const VormCoreAPI *api = static_cast<const VormCoreAPI *>(PyCapsule_GetPointer(capsule, VORM_CAPI_NAME));
    Py_DECREF(capsule); // vorm.ext keeps it, and the record is static
    if (api == NULL)
        return NULL;
    if (api->version != vormCapiVersion || api->requestSize != static_cast<Py_ssize_t>(sizeof(RequestObject)) ||
        api->linkedRequestSize != static_cast<Py_ssize_t>(sizeof(LinkedRequestObject)) ||
        api->priorityRequestSize != static_cast<Py_ssize_t>(sizeof(PriorityRequestObject)) ||
        api->timeRequestSize != static_cast<Py_ssize_t>(sizeof(TimeRequestObject))) {
        PyErr_SetString(PyExc_ImportError, "vorm.ext was built from other sources than this module");
        return NULL;
    }
    return api;
}

// Fills the record and adds it to the module as _C_API; -1 on failure.
int vormPublishCoreAPI(PyObject *module);

#endif
