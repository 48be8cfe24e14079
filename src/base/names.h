// The method-name strings that the core uses for its calls by name.
#ifndef VORM_BASE_NAMES_H
#define VORM_BASE_NAMES_H

#include "compat.h"

// Created by createMethodNames before the first type is prepared, and never
// released.
extern PyObject *namesMethodName;
extern PyObject *getContinuationMethodName;
extern PyObject *pushMethodName;

// The load-time step: false with the error set when a string could not be made.
bool createMethodNames();

#endif
