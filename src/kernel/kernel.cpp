// What every kernel type uses: errors, numbers, containers, new requests.
#include "kernel.h"

#include "simulation.h"
#include "process.h"

const VormCoreAPI *core = NULL;
Hooks hooks;
Names names;

// ---------------------------------------------------------------------------
// Errors

PyObject *kernelFormat(const char *format, PyObject *args)
{
    if (args == NULL)
        return NULL;
    PyObject *message = compatFormat(format, args);
    Py_DECREF(args);
    return message;
}

static PyObject *raise(PyObject *kind, PyObject *message, PyObject *process)
{
    if (message == NULL)
        return NULL;
    PyObject *error = PyObject_CallFunctionObjArgs(kind, message, process, NULL);
    Py_DECREF(message);
    if (error == NULL)
        return NULL;
    PyErr_SetObject(kind, error);
    Py_DECREF(error);
    return NULL;
}

PyObject *kernelError(PyObject *kind, SimulationObject *sim, const char *format, PyObject *args)
{
    PyObject *message = kernelFormat(format, args);
    ProcessObject *active = sim != NULL ? sim->active : NULL;
    if (message == NULL || active == NULL)
        return raise(kind, message, Py_None);
    // "process 'name': message", naming the running process.
    PyObject *process = asObject(active);
    Py_INCREF(process);
    raise(kind, kernelFormat("process %r: %s", Py_BuildValue("(ON)", active->name, message)), process);
    Py_DECREF(process);
    return NULL;
}

int kernelErrorInt(PyObject *kind, SimulationObject *sim, const char *format, PyObject *args)
{
    kernelError(kind, sim, format, args);
    return -1;
}

PyObject *kernelPlainError(PyObject *kind, PyObject *process, const char *format, PyObject *args)
{
    return raise(kind, kernelFormat(format, args), process);
}

int kernelNumber(SimulationObject *sim, PyObject *value, const char *what, bool allowNegative, double *out)
{
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
    } else {
        int real = compatIsIntOrFloat(value);
        if (!real && !PyBool_Check(value) && (real = PyObject_IsInstance(value, hooks.realType)) < 0)
            return -1;
        // A priority, as the request types take one, may be anything that
        // float() takes but a string.
        PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
        if (!real && allowNegative && !PyBool_Check(value) && number != NULL &&
            (number->nb_float != NULL || compatHasIndex(number)))
            real = 1;
        if (!real)
            return kernelErrorInt(hooks.commandError, sim, "%s must be a number, not %r", Py_BuildValue("(sO)", what, value));
        *out = PyFloat_AsDouble(value);
        if (*out == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                return -1;
            PyErr_Clear();
            return kernelErrorInt(hooks.argumentError, sim, "%s is too large for a float (%.40r...)",
                                  Py_BuildValue("(sO)", what, value));
        }
    }
    // A NaN delay is refused as a negative one is, with its message.
    if (*out != *out && allowNegative)
        return kernelErrorInt(hooks.argumentError, sim, "%s must not be NaN, got %r", Py_BuildValue("(sO)", what, value));
    if (!allowNegative && !(*out >= 0))
        return kernelErrorInt(hooks.argumentError, sim, "%s must not be negative, got %r",
                              Py_BuildValue("(sO)", what, value));
    return 0;
}

// ---------------------------------------------------------------------------
// Containers

int containerCallIgnore(PyObject *object, PyObject *name, PyObject *argument)
{
    PyObject *result = PyObject_CallMethodObjArgs(object, name, argument, NULL);
    if (result == NULL)
        return -1;
    Py_DECREF(result);
    return 0;
}

int containerOf(PyObject *object, Container *container)
{
    if (!PyObject_TypeCheck(object, core->containerType)) {
        PyErr_SetString(PyExc_TypeError, "not a request container");
        return -1;
    }
    Py_INCREF(object);
    PyObject *old = container->object;
    container->object = object;
    container->methods = core->methodsOf(object);
    Py_XDECREF(old);
    return 0;
}

static int ignoreResult(PyObject *result)
{
    if (result == NULL)
        return -1;
    Py_DECREF(result);
    return 0;
}

int Container::push(PyObject *request) const
{
    if (methods != NULL)
        return ignoreResult(methods->push(object, request));
    return containerCallIgnore(object, names.push, request);
}

PyObject *Container::pop() const
{
    if (methods != NULL)
        return methods->pop(object, NULL);
    return PyObject_CallMethodObjArgs(object, names.pop, NULL);
}

int Container::remove(PyObject *request) const
{
    if (methods != NULL)
        return ignoreResult(methods->remove(object, request));
    return containerCallIgnore(object, names.deleteName, request);
}

int Container::clear() const
{
    if (methods != NULL)
        return ignoreResult(methods->clear(object, NULL));
    return containerCallIgnore(object, names.clear, NULL);
}

Py_ssize_t Container::size() const
{
    if (methods != NULL)
        return methods->length(object);
    return PyObject_Size(object);
}

PyObject *kernelSuffixed(PyObject *name, const char *suffix)
{
    PyObject *text = compatStringFromString(suffix);
    if (text == NULL)
        return NULL;
    PyObject *joined = PyNumber_Add(name, text);
    Py_DECREF(text);
    return joined;
}

PyObject *kernelNewRequest(PyTypeObject *type, PyTypeObject *base)
{
    static PyObject *noArguments = NULL;
    if (noArguments == NULL && (noArguments = PyTuple_New(0)) == NULL)
        return NULL;
    return (base != NULL ? base : type)->tp_new(type, noArguments, NULL);
}

PyObject *kernelGetField(PyObject *self, void *closure)
{
    PyObject *value = *fieldAt(self, closure);
    value = value != NULL ? value : Py_None;
    Py_INCREF(value);
    return value;
}

PyTypeObject kernelTypeHead(const char *name, const char *doc, Py_ssize_t size, unsigned long extraFlags)
{
    PyTypeObject type = compatTypeHead();
    type.tp_name = name;
    type.tp_doc = doc;
    type.tp_basicsize = size;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | extraFlags;
    return type;
}
