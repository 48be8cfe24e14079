// terminateProcess and loadLibrary on POSIX: a handle is a process id and a
// library is loaded with dlopen.
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

// -1 is the kernel's pseudo-handle of the calling process.
static bool isOwnProcess(int handle) { return handle == -1 || handle == static_cast<int>(getpid()); }

PyObject *processTerminate(PyObject *, PyObject *args)
{
    int handle = 0;
    int exitCode = 0;
    if (!PyArg_ParseTuple(args, "ii", &handle, &exitCode))
        return NULL;
    std::printf("%d %d\n", handle, exitCode);
    std::fflush(stdout);
    if (isOwnProcess(handle))
        _exit(exitCode);
    // 0 and other negative ids would signal whole process groups.
    if (handle <= 0) {
        errno = EINVAL;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    // Another process's exit code cannot be chosen on POSIX; it is killed.
    if (kill(static_cast<pid_t>(handle), SIGKILL) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

PyObject *processLoadLibrary(PyObject *, PyObject *args)
{
    PyObject *holder = NULL;
    const char *path = compatParsePath(args, &holder);
    if (path == NULL)
        return NULL;
    // Never closed: the library stays mapped for the life of the process.
    void *library = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    Py_XDECREF(holder);
    if (library == NULL) {
        const char *reason = dlerror();
        PyErr_SetString(PyExc_OSError, reason != NULL ? reason : "cannot load library");
        return NULL;
    }
    Py_RETURN_NONE;
}
