// RequestListStack: only push differs from RequestListFIFO; everything else,
// the iterator included, is inherited.
#include "requestliststack.h"

typedef Container<ListStackStorage> ListStack;

static PyMethodDef listStackMethods[] = {
    {"push", VORM_METH(ListStack::push), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

RequestContainerTypeObject RequestListStackType = containerSubtypeHead<ListStackStorage>(
    "vorm.ext.RequestListStack", "vorm.ext.RequestListStack objects", &RequestListFIFOType, listStackMethods);
