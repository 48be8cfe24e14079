// The record of the C interface, filled from the core's own types.
#include "capi.h"

#include "../containers/container.h"
#include "../containers/requestlistfifo.h"

static const RequestContainerMethods *methodsOf(PyObject *container)
{
    PyTypeObject *type = Py_TYPE(container);
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type == &RequestContainerType ||
        !PyType_IsSubtype(type, &RequestContainerType))
        return NULL;
    return &static_cast<RequestContainerTypeObject *>(type)->methods;
}

static bool isHeld(PyObject *request)
{
    return isLinkedRequest(request) && requestIsHeld(reinterpret_cast<RequestObject *>(request));
}

static VormCoreAPI coreAPI = {
    vormCapiVersion,
    sizeof(RequestObject),
    sizeof(LinkedRequestObject),
    sizeof(PriorityRequestObject),
    sizeof(TimeRequestObject),
    &RequestType,
    &LinkedRequestType,
    &PriorityRequestType,
    &TimeRequestType,
    &RequestContainerType,
    &RequestListFIFOType,
    &RequestBinaryHeapType,
    &TimeRequestBinaryHeapType,
    methodsOf,
    isHeld,
};

int vormPublishCoreAPI(PyObject *module)
{
    PyObject *capsule = PyCapsule_New(&coreAPI, VORM_CAPI_NAME, NULL);
    if (capsule == NULL)
        return -1;
    if (PyModule_AddObject(module, "_C_API", capsule) < 0) {
        Py_DECREF(capsule);
        return -1;
    }
    return 0;
}
