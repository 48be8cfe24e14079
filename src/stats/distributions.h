// The module functions of the normal and Student's t distributions.
#ifndef VORM_STATS_DISTRIBUTIONS_H
#define VORM_STATS_DISTRIBUTIONS_H

#include "../module/compat.h"

// The argument parsing of the functions: "d" and "di" through
// PyArg_ParseTuple, except that exact floats and ints are read straight from
// the tuple. Whatever the parser would do with them, they give the same
// values; every other argument, and every wrong count, goes to the parser,
// which converts it or raises its own error.
inline bool statsParseDouble(PyObject *args, double *x)
{
    if (PyTuple_GET_SIZE(args) == 1 && compatExactDouble(PyTuple_GET_ITEM(args, 0), x))
        return true;
    return PyArg_ParseTuple(args, "d", x) != 0;
}

inline bool statsParseDoubleInt(PyObject *args, double *x, int *df)
{
    if (PyTuple_GET_SIZE(args) == 2 && compatExactDouble(PyTuple_GET_ITEM(args, 0), x) &&
        compatExactInt(PyTuple_GET_ITEM(args, 1), df))
        return true;
    return PyArg_ParseTuple(args, "di", x, df) != 0;
}

PyObject *statsDnorm(PyObject *module, PyObject *args);
PyObject *statsPnorm(PyObject *module, PyObject *args);
PyObject *statsQnorm(PyObject *module, PyObject *args);
PyObject *statsDt(PyObject *module, PyObject *args);
PyObject *statsPt(PyObject *module, PyObject *args);
PyObject *statsQt(PyObject *module, PyObject *args);

#endif
