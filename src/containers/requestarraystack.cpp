// RequestArrayStack: only delete differs from RequestArray.
#include "requestarraystack.h"

typedef Container<ArrayStackStorage> ArrayStack;

static PyMethodDef arrayStackMethods[] = {
    {"delete", VORM_METH(ArrayStack::remove), METH_O, ""},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject makeRequestArrayStackType()
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = "vorm.ext.RequestArrayStack";
    type.tp_doc = "vorm.ext.RequestArrayStack objects";
    type.tp_basicsize = sizeof(RequestSlotsObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = ArrayStack::traverse;
    type.tp_clear = ArrayStack::clearSlot;
    type.tp_methods = arrayStackMethods;
    type.tp_base = &RequestArrayType;
    return type;
}

PyTypeObject RequestArrayStackType = makeRequestArrayStackType();
