// Module-wide objects: the method-name strings used for calls by name.
#ifndef VORM_MODULE_MODULE_H
#define VORM_MODULE_MODULE_H

#include "compat.h"

// Created before the first type is prepared and never released.
extern PyObject *namesMethodName;
extern PyObject *getContinuationMethodName;
extern PyObject *pushMethodName;

#endif
