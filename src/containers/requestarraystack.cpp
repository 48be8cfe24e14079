// RequestArrayStack: only delete differs from RequestArray.
#include "requestarraystack.h"

typedef Container<ArrayStackStorage> ArrayStack;

static PyMethodDef arrayStackMethods[] = {
    {"delete", VORM_METH(ArrayStack::remove), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

RequestContainerTypeObject RequestArrayStackType = containerSubtypeHead<ArrayStackStorage>(
    "vorm.ext.RequestArrayStack", "vorm.ext.RequestArrayStack objects", &RequestArrayType, arrayStackMethods);
