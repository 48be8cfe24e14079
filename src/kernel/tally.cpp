// Tally: Welford's update, so that the variance stays exact for long runs of
// nearly equal values, where sums of squares cancel.
#include "tally.h"

#include "simulation.h"

static TallyObject *asTally(PyObject *self) { return reinterpret_cast<TallyObject *>(self); }

void tallyReset(TallyObject *tally)
{
    tally->count = 0;
    tally->total = tally->mean = tally->m2 = 0.0;
    tally->min = INFINITY;
    tally->max = -INFINITY;
    Py_CLEAR(tally->minObject);
    Py_CLEAR(tally->maxObject);
    for (Py_ssize_t i = 0; i < tally->bins; ++i)
        tally->counts[i] = 0;
    tally->below = tally->above = 0;
    if (tally->series != NULL)
        PyList_SetSlice(tally->series, 0, PY_SSIZE_T_MAX, NULL);
}

// Counts x in its bin: edges[i] <= x < edges[i + 1], the last bin its upper
// edge too.
static void tallyCount(TallyObject *tally, double x)
{
    const double *edges = tally->edges;
    Py_ssize_t bins = tally->bins;
    if (!(x >= edges[0])) { // NaN too
        ++tally->below;
        return;
    }
    if (x > edges[bins]) {
        ++tally->above;
        return;
    }
    Py_ssize_t low = 0, high = bins; // edges[low] <= x, and x < edges[high] or x is the last edge
    while (high - low > 1) {
        Py_ssize_t middle = (low + high) / 2;
        if (edges[middle] <= x)
            low = middle;
        else
            high = middle;
    }
    ++tally->counts[low];
}

int tallyAdd(TallyObject *tally, double x, PyObject *object)
{
    Py_ssize_t count = ++tally->count;
    tally->total += x;
    double delta = x - tally->mean;
    tally->mean += delta / static_cast<double>(count);
    tally->m2 += delta * (x - tally->mean);
    if (x < tally->min) {
        tally->min = x;
        Py_XINCREF(object);
        Py_XSETREF(tally->minObject, object);
    }
    if (x > tally->max) {
        tally->max = x;
        Py_XINCREF(object);
        Py_XSETREF(tally->maxObject, object);
    }
    if (tally->bins > 0)
        tallyCount(tally, x);
    if (tally->series == NULL)
        return 0;
    PyObject *time = NULL;
    double now = 0.0;
    if (tally->sim == Py_None)
        time = compatIntFromLong(static_cast<long>(count));
    else if (monitorNow(tally->sim, &now) == 0)
        time = PyFloat_FromDouble(now);
    PyObject *value = object != NULL ? object : PyFloat_FromDouble(x);
    if (object != NULL)
        Py_INCREF(value);
    if (value == NULL) {
        Py_XDECREF(time);
        return -1;
    }
    int status = monitorAppend(tally->series, time, value);
    Py_DECREF(value);
    return status;
}

// add(x): x any real number.
static PyObject *tallyAddMethod(PyObject *self, PyObject *x)
{
    double value = 0.0;
    if (PyFloat_CheckExact(x)) {
        if (tallyAdd(asTally(self), PyFloat_AS_DOUBLE(x), NULL) < 0)
            return NULL;
        Py_RETURN_NONE;
    }
    value = PyFloat_AsDouble(x);
    if (value == -1.0 && PyErr_Occurred())
        return NULL;
    if (tallyAdd(asTally(self), value, x) < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *tallyResetMethod(PyObject *self, PyObject *)
{
    tallyReset(asTally(self));
    Py_RETURN_NONE;
}

static PyObject *tallyMean(PyObject *self, PyObject *)
{
    return PyFloat_FromDouble(asTally(self)->count ? asTally(self)->mean : NAN);
}

static double tallyVarianceOf(TallyObject *tally)
{
    return tally->count > 1 ? tally->m2 / static_cast<double>(tally->count - 1) : NAN;
}

static PyObject *tallyVariance(PyObject *self, PyObject *) { return PyFloat_FromDouble(tallyVarianceOf(asTally(self))); }
static PyObject *tallyStdev(PyObject *self, PyObject *) { return PyFloat_FromDouble(std::sqrt(tallyVarianceOf(asTally(self)))); }

static PyObject *tallyWriteCsv(PyObject *self, PyObject *path)
{
    return PyObject_CallFunctionObjArgs(hooks.writeSeries, self, path, NULL);
}

static PyObject *tallyHistogram(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"bins", NULL};
    PyObject *bins = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:histogram", const_cast<char **>(keywords), &bins))
        return NULL;
    return PyObject_CallFunctionObjArgs(hooks.histogram, self, bins, NULL);
}

static PyMethodDef tallyMethods[] = {
    {"add", tallyAddMethod, METH_O, NULL},
    {"reset", tallyResetMethod, METH_NOARGS, NULL},
    {"mean", tallyMean, METH_NOARGS, NULL},
    {"variance", tallyVariance, METH_NOARGS, NULL},
    {"stdev", tallyStdev, METH_NOARGS, NULL},
    {"write_csv", tallyWriteCsv, METH_O, NULL},
    {"histogram", VORM_METH(tallyHistogram), METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

// (edges, counts, below, above) of the tally's own bins, or None.
static PyObject *getBins(PyObject *self, void *)
{
    TallyObject *tally = asTally(self);
    if (tally->bins == 0)
        Py_RETURN_NONE;
    PyObject *edges = PyList_New(tally->bins + 1), *counts = PyList_New(tally->bins);
    for (Py_ssize_t i = 0; edges != NULL && counts != NULL && i <= tally->bins; ++i) {
        PyObject *edge = PyFloat_FromDouble(tally->edges[i]);
        PyObject *count = i < tally->bins ? compatIntFromLong(static_cast<long>(tally->counts[i])) : NULL;
        if (edge == NULL || (i < tally->bins && count == NULL)) {
            Py_XDECREF(edge);
            Py_CLEAR(edges);
            break;
        }
        PyList_SET_ITEM(edges, i, edge);
        if (count != NULL)
            PyList_SET_ITEM(counts, i, count);
    }
    if (edges == NULL || counts == NULL) {
        Py_XDECREF(edges);
        Py_XDECREF(counts);
        return NULL;
    }
    return Py_BuildValue("(NNll)", edges, counts, static_cast<long>(tally->below), static_cast<long>(tally->above));
}

static PyObject *getCount(PyObject *self, void *) { return compatIntFromLong(static_cast<long>(asTally(self)->count)); }
static PyObject *getTotal(PyObject *self, void *) { return PyFloat_FromDouble(asTally(self)->total); }

static PyObject *getExtreme(PyObject *self, void *closure)
{
    bool max = closure != NULL;
    PyObject *object = max ? asTally(self)->maxObject : asTally(self)->minObject;
    if (object != NULL) {
        Py_INCREF(object);
        return object;
    }
    return PyFloat_FromDouble(max ? asTally(self)->max : asTally(self)->min);
}

static int setName(PyObject *self, PyObject *value, void *)
{
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, "cannot delete the name");
        return -1;
    }
    setField(&asTally(self)->name, value);
    return 0;
}

static PyGetSetDef tallyGetSet[] = {
    {const_cast<char *>("name"), kernelGetField, setName, NULL, fieldClosure(offsetof(TallyObject, name))},
    {const_cast<char *>("sim"), kernelGetField, NULL, NULL, fieldClosure(offsetof(TallyObject, sim))},
    {const_cast<char *>("series"), kernelGetField, NULL, const_cast<char *>("the (time, value) points, or None"),
     fieldClosure(offsetof(TallyObject, series))},
    {const_cast<char *>("count"), getCount, NULL, NULL, NULL},
    {const_cast<char *>("bins"), getBins, NULL, const_cast<char *>("(edges, counts, below, above), or None"), NULL},
    {const_cast<char *>("total"), getTotal, NULL, NULL, NULL},
    {const_cast<char *>("min"), getExtreme, NULL, NULL, NULL},
    {const_cast<char *>("max"), getExtreme, NULL, NULL, const_cast<char *>("max")},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyObject *tallyNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    TallyObject *tally = asTally(self);
    tally->name = compatStringFromString("tally");
    tally->sim = Py_None;
    Py_INCREF(Py_None);
    tallyReset(tally);
    if (tally->name == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

// The edges of bins as given: at least two increasing numbers.
static int tallyBins(TallyObject *tally, PyObject *bins)
{
    PyObject *edges = PySequence_Fast(bins, "Tally() bins must be a sequence of edges");
    if (edges == NULL)
        return -1;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(edges);
    double *values = count >= 2 ? static_cast<double *>(PyMem_Malloc(sizeof(double) * count)) : NULL;
    Py_ssize_t *counts = count >= 2 ? static_cast<Py_ssize_t *>(PyMem_Malloc(sizeof(Py_ssize_t) * (count - 1))) : NULL;
    int status = values != NULL && counts != NULL ? 0 : -1;
    for (Py_ssize_t i = 0; status == 0 && i < count; ++i) {
        values[i] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(edges, i));
        if (values[i] == -1.0 && PyErr_Occurred())
            status = -1;
        else if (!(values[i] == values[i]) || (i > 0 && !(values[i - 1] < values[i])))
            status = -2;
    }
    Py_DECREF(edges);
    if (status != 0) {
        PyMem_Free(values);
        PyMem_Free(counts);
        if (status == -2 || !PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "Tally() bins must be at least two increasing numbers");
        return -1;
    }
    PyMem_Free(tally->edges);
    PyMem_Free(tally->counts);
    tally->edges = values;
    tally->counts = counts;
    tally->bins = count - 1;
    return 0;
}

// Tally(name="tally", sim=None, series=False, bins=None)
static int tallyInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"name", "sim", "series", "bins", NULL};
    PyObject *name = NULL, *sim = Py_None, *series = Py_False, *bins = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOO:Tally", const_cast<char **>(keywords), &name, &sim, &series,
                                     &bins))
        return -1;
    int keep = PyObject_IsTrue(series);
    if (keep < 0)
        return -1;
    TallyObject *tally = asTally(self);
    if (bins != Py_None && tallyBins(tally, bins) < 0)
        return -1;
    if (name != NULL)
        setField(&tally->name, name);
    setField(&tally->sim, sim);
    if (keep && tally->series == NULL && (tally->series = PyList_New(0)) == NULL)
        return -1;
    if (!keep)
        Py_CLEAR(tally->series);
    tallyReset(tally);
    return 0;
}

static int tallyTraverse(PyObject *self, visitproc visit, void *arg)
{
    TallyObject *tally = asTally(self);
    Py_VISIT(tally->name);
    Py_VISIT(tally->sim);
    Py_VISIT(tally->series);
    Py_VISIT(tally->minObject);
    Py_VISIT(tally->maxObject);
    return 0;
}

static int tallyClear(PyObject *self)
{
    TallyObject *tally = asTally(self);
    Py_CLEAR(tally->name);
    Py_CLEAR(tally->sim);
    Py_CLEAR(tally->series);
    Py_CLEAR(tally->minObject);
    Py_CLEAR(tally->maxObject);
    return 0;
}

static void tallyDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    tallyClear(self);
    PyMem_Free(asTally(self)->edges);
    PyMem_Free(asTally(self)->counts);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *tallyRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.tallyRepr, self, NULL); }

static PyTypeObject makeTallyType()
{
    PyTypeObject type = kernelTypeHead("vorm.Tally",
                                       "Tally(name='tally', sim=None, series=False, bins=None): count, mean, variance, "
                                       "minimum and maximum of observations.",
                                       sizeof(TallyObject), Py_TPFLAGS_BASETYPE);
    type.tp_new = tallyNew;
    type.tp_init = tallyInit;
    type.tp_dealloc = tallyDealloc;
    type.tp_traverse = tallyTraverse;
    type.tp_clear = tallyClear;
    type.tp_repr = tallyRepr;
    type.tp_methods = tallyMethods;
    type.tp_getset = tallyGetSet;
    return type;
}

PyTypeObject TallyType = makeTallyType();
