// RequestListStack: only push differs from RequestListFIFO; the slots, the
// iterator included, are inherited.
#include "requestliststack.h"

typedef Container<ListStackStorage> ListStack;

static PyMethodDef listStackMethods[] = {
    VORM_CONTAINER_METHODS(ListStack),
    {NULL, NULL, 0, NULL},
};

RequestContainerTypeObject RequestListStackType = containerSubtypeHead<ListStackStorage>(
    "vorm.ext.RequestListStack", "vorm.ext.RequestListStack objects", &RequestListFIFOType, listStackMethods);
