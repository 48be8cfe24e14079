// The module functions of the normal and Student's t distributions.
#ifndef VORM_STATS_DISTRIBUTIONS_H
#define VORM_STATS_DISTRIBUTIONS_H

#include "../module/compat.h"

PyObject *statsDnorm(PyObject *module, PyObject *args);
PyObject *statsPnorm(PyObject *module, PyObject *args);
PyObject *statsQnorm(PyObject *module, PyObject *args);
PyObject *statsDt(PyObject *module, PyObject *args);
PyObject *statsPt(PyObject *module, PyObject *args);
PyObject *statsQt(PyObject *module, PyObject *args);

#endif
