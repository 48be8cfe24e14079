// RequestListStack: only push differs from RequestListFIFO; everything else,
// the iterator included, is inherited.
#include "requestliststack.h"

typedef Container<ListStackStorage> ListStack;

static PyMethodDef listStackMethods[] = {
    {"push", VORM_METH(ListStack::push), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject makeRequestListStackType()
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = "vorm.ext.RequestListStack";
    type.tp_doc = "vorm.ext.RequestListStack objects";
    type.tp_basicsize = sizeof(RequestListObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = ListStack::traverse;
    type.tp_clear = ListStack::clearSlot;
    type.tp_methods = listStackMethods;
    type.tp_base = &RequestListFIFOType;
    return type;
}

PyTypeObject RequestListStackType = makeRequestListStackType();
