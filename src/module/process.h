// The process utilities: ending a process and loading a shared library.
#ifndef VORM_MODULE_PROCESS_H
#define VORM_MODULE_PROCESS_H

#include "../base/compat.h"

PyObject *processTerminate(PyObject *module, PyObject *args);
PyObject *processLoadLibrary(PyObject *module, PyObject *args);

#endif
