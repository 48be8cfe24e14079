// Level: a time-weighted average, kept as the area under the value since the
// last reset.
#include "level.h"

#include "simulation.h"

static LevelObject *asLevel(PyObject *self) { return reinterpret_cast<LevelObject *>(self); }

// a > b as Python compares them; ints and floats compare without code.
static int greater(PyObject *a, PyObject *b)
{
    long x = 0, y = 0;
    if (compatExactIntValue(a, &x) && compatExactIntValue(b, &y))
        return x > y;
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
        return PyFloat_AS_DOUBLE(a) > PyFloat_AS_DOUBLE(b);
    return PyObject_RichCompareBool(a, b, Py_GT);
}

static int valueAsDouble(PyObject *value, double *out)
{
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    *out = PyFloat_AsDouble(value);
    return *out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

int levelSet(LevelObject *level, PyObject *value)
{
    double now = 0.0, number = 0.0;
    if (monitorNow(level->sim, &now) < 0 || valueAsDouble(value, &number) < 0)
        return -1;
    // The time and the value are read before any of the level changes: the
    // comparisons below may run code, which then sees it whole.
    level->area += level->valueDouble * (now - level->since);
    level->since = now;
    level->valueDouble = number;
    setField(&level->value, value);
    int above = greater(value, level->max);
    if (above < 0)
        return -1;
    if (above) {
        setField(&level->max, value);
    } else {
        int below = greater(level->min, value);
        if (below < 0)
            return -1;
        if (below)
            setField(&level->min, value);
    }
    if (level->series == NULL)
        return 0;
    return monitorAppend(level->series, PyFloat_FromDouble(now), value);
}

int levelReset(LevelObject *level)
{
    double now = 0.0;
    if (monitorNow(level->sim, &now) < 0)
        return -1;
    level->start = level->since = now;
    level->area = 0.0;
    setField(&level->min, level->value);
    setField(&level->max, level->value);
    if (level->series == NULL)
        return 0;
    PyObject *point = Py_BuildValue("(dO)", now, level->value);
    if (point == NULL)
        return -1;
    PyObject *points = PyList_New(1);
    if (points == NULL) {
        Py_DECREF(point);
        return -1;
    }
    PyList_SET_ITEM(points, 0, point);
    int status = PyList_SetSlice(level->series, 0, PY_SSIZE_T_MAX, points);
    Py_DECREF(points);
    return status;
}

// set(value); a subclass that overrides set has add() and the facility call it.
static PyObject *levelSetMethod(PyObject *self, PyObject *value)
{
    if (levelSet(asLevel(self), value) < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *levelAdd(PyObject *self, PyObject *args)
{
    PyObject *delta = NULL;
    if (!PyArg_UnpackTuple(args, "add", 0, 1, &delta))
        return NULL;
    PyObject *value = asLevel(self)->value;
    long x = 0, d = 1;
    PyObject *sum = NULL;
    if ((delta == NULL || compatExactIntValue(delta, &d)) && compatExactIntValue(value, &x) &&
        !(d > 0 && x > LONG_MAX - d) && !(d < 0 && x < LONG_MIN - d)) {
        sum = compatIntFromLong(x + d);
    } else {
        PyObject *one = delta == NULL ? compatIntFromLong(1) : NULL;
        Py_INCREF(value);
        sum = PyNumber_Add(value, delta != NULL ? delta : one);
        Py_DECREF(value);
        Py_XDECREF(one);
    }
    if (sum == NULL)
        return NULL;
    int status = Py_TYPE(self) == &LevelType ? levelSet(asLevel(self), sum) : containerCallIgnore(self, names.set, sum);
    Py_DECREF(sum);
    if (status < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *levelResetMethod(PyObject *self, PyObject *)
{
    if (levelReset(asLevel(self)) < 0)
        return NULL;
    Py_RETURN_NONE;
}

// The time average; the current value when no time has passed.
static PyObject *levelMean(PyObject *self, PyObject *)
{
    LevelObject *level = asLevel(self);
    double now = 0.0;
    if (monitorNow(level->sim, &now) < 0)
        return NULL;
    double elapsed = now - level->start;
    if (!(elapsed > 0))
        return PyFloat_FromDouble(level->valueDouble);
    return PyFloat_FromDouble((level->area + level->valueDouble * (now - level->since)) / elapsed);
}

static PyObject *levelWriteCsv(PyObject *self, PyObject *path)
{
    return PyObject_CallFunctionObjArgs(hooks.writeSeries, self, path, NULL);
}

static PyMethodDef levelMethods[] = {
    {"set", levelSetMethod, METH_O, NULL},
    {"add", levelAdd, METH_VARARGS, NULL},
    {"reset", levelResetMethod, METH_NOARGS, NULL},
    {"mean", levelMean, METH_NOARGS, NULL},
    {"write_csv", levelWriteCsv, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static int setName(PyObject *self, PyObject *value, void *)
{
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, "cannot delete the name");
        return -1;
    }
    setField(&asLevel(self)->name, value);
    return 0;
}

static PyGetSetDef levelGetSet[] = {
    {const_cast<char *>("name"), kernelGetField, setName, NULL, fieldClosure(offsetof(LevelObject, name))},
    {const_cast<char *>("sim"), kernelGetField, NULL, NULL, fieldClosure(offsetof(LevelObject, sim))},
    {const_cast<char *>("series"), kernelGetField, NULL, const_cast<char *>("the (time, value) changes, or None"),
     fieldClosure(offsetof(LevelObject, series))},
    {const_cast<char *>("value"), kernelGetField, NULL, NULL, fieldClosure(offsetof(LevelObject, value))},
    {const_cast<char *>("min"), kernelGetField, NULL, NULL, fieldClosure(offsetof(LevelObject, min))},
    {const_cast<char *>("max"), kernelGetField, NULL, NULL, fieldClosure(offsetof(LevelObject, max))},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyObject *levelNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    LevelObject *level = asLevel(self);
    PyObject *zero = compatIntFromLong(0);
    level->name = compatStringFromString("level");
    if (zero == NULL || level->name == NULL) {
        Py_XDECREF(zero);
        Py_DECREF(self);
        return NULL;
    }
    level->sim = Py_None;
    Py_INCREF(Py_None);
    level->value = zero;
    Py_INCREF(zero);
    level->min = zero;
    Py_INCREF(zero);
    level->max = zero;
    return self;
}

// Level(sim, name="level", value=0, series=False)
static int levelInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"sim", "name", "value", "series", NULL};
    PyObject *sim = NULL, *name = NULL, *value = NULL, *series = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOO:Level", const_cast<char **>(keywords), &sim, &name, &value,
                                     &series))
        return -1;
    int keep = PyObject_IsTrue(series);
    if (keep < 0)
        return -1;
    LevelObject *level = asLevel(self);
    double number = 0.0;
    if (value != NULL && valueAsDouble(value, &number) < 0)
        return -1;
    setField(&level->sim, sim);
    if (name != NULL)
        setField(&level->name, name);
    if (value != NULL) {
        setField(&level->value, value);
        level->valueDouble = number;
    }
    if (keep && level->series == NULL && (level->series = PyList_New(0)) == NULL)
        return -1;
    if (!keep)
        Py_CLEAR(level->series);
    return levelReset(level);
}

static int levelTraverse(PyObject *self, visitproc visit, void *arg)
{
    LevelObject *level = asLevel(self);
    Py_VISIT(level->name);
    Py_VISIT(level->sim);
    Py_VISIT(level->series);
    Py_VISIT(level->value);
    Py_VISIT(level->min);
    Py_VISIT(level->max);
    return 0;
}

static int levelClear(PyObject *self)
{
    LevelObject *level = asLevel(self);
    Py_CLEAR(level->name);
    Py_CLEAR(level->sim);
    Py_CLEAR(level->series);
    Py_CLEAR(level->value);
    Py_CLEAR(level->min);
    Py_CLEAR(level->max);
    return 0;
}

static void levelDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    levelClear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *levelRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.levelRepr, self, NULL); }

static PyTypeObject makeLevelType()
{
    PyTypeObject type = kernelTypeHead("vorm.Level",
                                       "Level(sim, name='level', value=0, series=False): the time average, "
                                       "minimum and maximum of a quantity that changes over simulated time.",
                                       sizeof(LevelObject), Py_TPFLAGS_BASETYPE);
    type.tp_new = levelNew;
    type.tp_init = levelInit;
    type.tp_dealloc = levelDealloc;
    type.tp_traverse = levelTraverse;
    type.tp_clear = levelClear;
    type.tp_repr = levelRepr;
    type.tp_methods = levelMethods;
    type.tp_getset = levelGetSet;
    return type;
}

PyTypeObject LevelType = makeLevelType();
