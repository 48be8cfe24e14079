// The clock and series of the monitors, and how a facility updates them.
#include "monitor.h"

#include "level.h"
#include "simulation.h"
#include "tally.h"

int monitorNow(PyObject *sim, double *now)
{
    if (isSimulation(sim)) {
        *now = reinterpret_cast<SimulationObject *>(sim)->now;
        return 0;
    }
    PyObject *value = PyObject_GetAttrString(sim, "now");
    if (value == NULL)
        return -1;
    *now = PyFloat_AsDouble(value);
    Py_DECREF(value);
    return *now == -1.0 && PyErr_Occurred() ? -1 : 0;
}

int monitorAppend(PyObject *series, PyObject *time, PyObject *value)
{
    if (time == NULL)
        return -1;
    PyObject *point = PyTuple_Pack(2, time, value);
    Py_DECREF(time);
    if (point == NULL)
        return -1;
    int status = PyList_Append(series, point);
    Py_DECREF(point);
    return status;
}

int monitorAdd(PyObject *tally, double x)
{
    if (Py_TYPE(tally) == &TallyType)
        return tallyAdd(reinterpret_cast<TallyObject *>(tally), x, NULL);
    PyObject *number = PyFloat_FromDouble(x);
    if (number == NULL)
        return -1;
    int status = containerCallIgnore(tally, names.add, number);
    Py_DECREF(number);
    return status;
}

int monitorSetValue(PyObject *level, PyObject *value)
{
    return Py_TYPE(level) == &LevelType ? levelSet(reinterpret_cast<LevelObject *>(level), value)
                                        : containerCallIgnore(level, names.set, value);
}

int monitorSet(PyObject *level, Py_ssize_t count)
{
    PyObject *number = compatIntFromLong(static_cast<long>(count));
    if (number == NULL)
        return -1;
    int status = monitorSetValue(level, number);
    Py_DECREF(number);
    return status;
}

int monitorResetThree(PyObject *first, PyObject *second, PyObject *third)
{
    PyObject *monitors[] = {first, second, third};
    for (PyObject *monitor : monitors)
        Py_INCREF(monitor);
    int status = 0;
    for (PyObject *monitor : monitors)
        if (status == 0)
            status = monitorReset(monitor);
    for (PyObject *monitor : monitors)
        Py_DECREF(monitor);
    return status;
}

int monitorReset(PyObject *monitor)
{
    if (Py_TYPE(monitor) == &TallyType) {
        tallyReset(reinterpret_cast<TallyObject *>(monitor));
        return 0;
    }
    if (Py_TYPE(monitor) == &LevelType)
        return levelReset(reinterpret_cast<LevelObject *>(monitor));
    return containerCallIgnore(monitor, names.reset, NULL);
}
