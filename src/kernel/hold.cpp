// hold(): a plain hold is its delay as a float, which the loop takes without
// further ado; a hold that carries a value is a command object.
#include "hold.h"

#include "process.h"
#include "simulation.h"

static HoldObject *asHold(PyObject *self) { return reinterpret_cast<HoldObject *>(self); }

// The delay as hold() takes it: an int or a float of any kind, or another
// real number; bool is not a delay. Errors name no process, as hold() may be
// called anywhere.
static int holdDelay(PyObject *delay, double *out)
{
    if (PyFloat_CheckExact(delay)) {
        *out = PyFloat_AS_DOUBLE(delay);
        return 0;
    }
    int real = compatIsIntOrFloat(delay);
    if (!real && !PyBool_Check(delay) && (real = PyObject_IsInstance(delay, hooks.realType)) < 0)
        return -1;
    if (!real) {
        kernelPlainError(hooks.commandError, Py_None, "hold() delay must be a number, not %r", Py_BuildValue("(O)", delay));
        return -1;
    }
    *out = PyFloat_AsDouble(delay);
    if (*out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        PyErr_Clear();
        kernelPlainError(hooks.argumentError, Py_None, "hold() delay is too large for a float (%.40r...)",
                         Py_BuildValue("(O)", delay));
        return -1;
    }
    return 0;
}

PyObject *holdFunction(PyObject *, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"delay", "value", NULL};
    PyObject *slots[8];
    if (!args.unpack("hold", parameters, 1, slots))
        return NULL;
    PyObject *delayObject = slots[0];
    double delay = 0.0;
    if (holdDelay(delayObject, &delay) < 0)
        return NULL;
    if (slots[1] == NULL) {
        if (PyFloat_CheckExact(delayObject)) {
            Py_INCREF(delayObject);
            return delayObject;
        }
        return PyFloat_FromDouble(delay);
    }
    // A negative or NaN delay is refused where it is yielded, as a plain
    // one is.
    HoldObject *hold = PyObject_GC_New(HoldObject, &HoldType);
    if (hold == NULL)
        return NULL;
    hold->delay = delay;
    Py_INCREF(delayObject);
    hold->delayObject = delayObject;
    Py_INCREF(slots[1]);
    hold->value = slots[1];
    PyObject_GC_Track(hold);
    return asObject(hold);
}

static PyObject *getDelay(PyObject *self, void *) { return PyFloat_FromDouble(asHold(self)->delay); }

static PyObject *getValue(PyObject *self, void *)
{
    Py_INCREF(asHold(self)->value);
    return asHold(self)->value;
}

static PyGetSetDef holdGetSet[] = {
    {const_cast<char *>("delay"), getDelay, NULL, NULL, NULL},
    {const_cast<char *>("value"), getValue, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static int holdTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(asHold(self)->delayObject);
    Py_VISIT(asHold(self)->value);
    return 0;
}

static int holdClear(PyObject *self)
{
    Py_CLEAR(asHold(self)->delayObject);
    Py_CLEAR(asHold(self)->value);
    return 0;
}

static void holdDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    holdClear(self);
    PyObject_GC_Del(self);
}

static PyObject *holdRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.holdRepr, self, NULL); }

static PyTypeObject makeHoldType()
{
    PyTypeObject type = kernelTypeHead("vorm.Hold", "yield hold(d, value): d time units pass; evaluates to value.",
                                       sizeof(HoldObject), 0);
    type.tp_dealloc = holdDealloc;
    type.tp_traverse = holdTraverse;
    type.tp_clear = holdClear;
    type.tp_repr = holdRepr;
    type.tp_getset = holdGetSet;
    return type;
}

PyTypeObject HoldType = makeHoldType();
