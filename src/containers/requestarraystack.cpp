// RequestArrayStack: only delete differs from RequestArray; the slots, the
// iterator included, are inherited.
#include "requestarraystack.h"

typedef Container<ArrayStackStorage> ArrayStack;

static PyMethodDef arrayStackMethods[] = {
    VORM_CONTAINER_METHODS(ArrayStack),
    {NULL, NULL, 0, NULL},
};

RequestContainerTypeObject RequestArrayStackType = containerSubtypeHead<ArrayStackStorage>(
    "vorm.ext.RequestArrayStack", "vorm.ext.RequestArrayStack objects", &RequestArrayType, arrayStackMethods);
