// The module entry: prepares every type, creates "vorm.ext" with its function
// table and publishes the public types.
#include "../base/names.h"

#include "../containers/container.h"
#include "../containers/priorityqueue.h"
#include "../containers/requestarray.h"
#include "../containers/requestarraystack.h"
#include "../containers/requestbinaryheap.h"
#include "../containers/requestdeqfifo.h"
#include "../containers/requestlistfifo.h"
#include "../containers/requestliststack.h"
#include "../containers/timerequestbinaryheap.h"
#include "../requests/request.h"
#include "../stats/distributions.h"
#include "capi.h"
#include "process.h"

static PyMethodDef moduleFunctions[] = {
    {"RequestIDInitialize", VORM_METH(requestIdInitialize), METH_NOARGS, ""},
    {"dt", VORM_METH(statsDt), VORM_ARGS_FLAGS, ""},
    {"pt", VORM_METH(statsPt), VORM_ARGS_FLAGS, ""},
    {"qt", VORM_METH(statsQt), VORM_ARGS_FLAGS, ""},
    {"dnorm", VORM_METH(statsDnorm), VORM_ARGS_FLAGS, ""},
    {"pnorm", VORM_METH(statsPnorm), VORM_ARGS_FLAGS, ""},
    {"qnorm", VORM_METH(statsQnorm), VORM_ARGS_FLAGS, ""},
    {"terminateProcess", VORM_METH(processTerminate), METH_VARARGS, ""},
    {"loadLibrary", VORM_METH(processLoadLibrary), METH_VARARGS, ""},
    {NULL, NULL, 0, NULL},
};

// Prepared in this order; RequestContainer becomes ready as the base of
// RequestArray.
static PyTypeObject *const preparedTypes[] = {
    &RequestType,
    &RequestIteratorType,
    &RequestArrayType,
    &RequestArrayIteratorType,
    &RequestArrayStackType,
    &RequestDEQFIFOType,
    &RequestDEQFIFOIteratorType,
    &RequestListFIFOType,
    &RequestListFIFOIteratorType,
    &RequestListStackType,
    &LinkedRequestType,
    &PriorityRequestType,
    &RequestBinaryHeapType,
    &RequestBinaryHeapIteratorType,
    &TimeRequestType,
    &TimeRequestBinaryHeapType,
    &TimeRequestBinaryHeapIteratorType,
    &PriorityQueueType,
    &PriorityQueueIteratorType,
};

struct PublishedType {
    const char *name;
    PyTypeObject *type;
};

static const PublishedType publishedTypes[] = {
    {"Request", &RequestType},
    {"RequestArray", &RequestArrayType},
    {"RequestArrayStack", &RequestArrayStackType},
    {"RequestDEQFIFO", &RequestDEQFIFOType},
    {"RequestListFIFO", &RequestListFIFOType},
    {"RequestListStack", &RequestListStackType},
    {"LinkedRequest", &LinkedRequestType},
    {"PriorityRequest", &PriorityRequestType},
    {"RequestBinaryHeap", &RequestBinaryHeapType},
    {"TimeRequest", &TimeRequestType},
    {"TimeRequestBinaryHeap", &TimeRequestBinaryHeapType},
    {"PriorityQueue", &PriorityQueueType},
};

static PyObject *createModule()
{
    // The load-time step: the strings exist before any type is used.
    if (!createMethodNames())
        return NULL;
    for (PyTypeObject *type : preparedTypes)
        if (PyType_Ready(type) < 0)
            return NULL;
    PyObject *module = compatModuleCreate("vorm.ext", moduleFunctions, "vorm.ext module");
    if (module == NULL)
        return NULL;
    for (const PublishedType &published : publishedTypes) {
        Py_INCREF(published.type);
        // Unlike the reference build, a failed addition fails the import.
        if (PyModule_AddObject(module, published.name, reinterpret_cast<PyObject *>(published.type)) < 0) {
            Py_DECREF(published.type);
            compatModuleFailed(module);
            return NULL;
        }
    }
    if (vormPublishCoreAPI(module) < 0) {
        compatModuleFailed(module);
        return NULL;
    }
    return module;
}

VORM_MODINIT_FUNC
{
    PyObject *module = createModule();
    VORM_MODINIT_RETURN(module);
}
