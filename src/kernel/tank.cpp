// Tank: an amount, and the serving of its two lines in strict order.
#include "tank.h"

#include "process.h"
#include "simulation.h"

static TankObject *asTank(PyObject *self) { return reinterpret_cast<TankObject *>(self); }

static int recordAmount(TankObject *tank) { return bufferRecordContents(tank, PyFloat_FromDouble(tank->amount)); }

// Serves the head of each line while it fits, getters first, until neither
// head does: a large request at the head is not overtaken.
static int tankServe(BufferObject *buffer)
{
    TankObject *tank = static_cast<TankObject *>(buffer);
    Py_INCREF(tank);
    int status = 0;
    for (bool progressed = true; progressed && status == 0;) {
        progressed = false;
        for (int line = 0; line < 2 && status == 0; ++line) {
            bool get = line == 0;
            const Container &waiting = get ? tank->getters : tank->putters;
            while (status == 0 && waiting.size() > 0) {
                PyObject *head = PyObject_CallMethodObjArgs(waiting.object, names.get, NULL);
                if (head == NULL) {
                    status = -1;
                    break;
                }
                double amount = asTransferEntry(head)->amount;
                bool fits = get ? amount <= tank->amount : tank->amount + amount <= tank->capacity;
                if (fits && (status = waiting.remove(head)) == 0) {
                    tank->amount += get ? -amount : amount;
                    status = recordAmount(tank);
                    PyObject *value = get ? PyFloat_FromDouble(amount) : Py_None;
                    if (!get)
                        Py_INCREF(value);
                    if (status == 0)
                        status = value != NULL ? bufferComplete(tank, head, get, value) : -1;
                    Py_XDECREF(value);
                    progressed = true;
                }
                Py_DECREF(head);
                if (!fits)
                    break;
            }
        }
    }
    Py_DECREF(tank);
    return status;
}

// A put or get of amount: at once when nobody waits ahead in its line and
// it fits, else in line.
static ApplyResult tankMove(TankObject *tank, ProcessObject *process, double amount, bool get, PyObject **value)
{
    if (!bufferUsable(tank, process))
        return APPLY_REFUSED;
    SimulationObject *sim = tank->sim;
    const Container &line = get ? tank->getters : tank->putters;
    bool fits = get ? amount <= tank->amount : tank->amount + amount <= tank->capacity;
    if (simulationTracing(sim)) {
        PyObject *moved = PyFloat_FromDouble(amount);
        int traced = moved != NULL ? simulationTraceEvent(sim, asObject(process), get ? "get" : "put", moved) : -1;
        Py_XDECREF(moved);
        if (traced < 0)
            return APPLY_REFUSED;
        fits = get ? amount <= tank->amount : tank->amount + amount <= tank->capacity; // the hook ran code
    }
    if (line.size() > 0 || !fits) {
        PyObject *entry = NULL;
        if (bufferPark(tank, process, get, Py_None, NULL, amount, 0.0, &entry) < 0)
            return APPLY_REFUSED;
        Py_DECREF(entry);
        return APPLY_PARKED;
    }
    tank->amount += get ? -amount : amount;
    Py_INCREF(tank);
    int status = recordAmount(tank);
    if (status == 0)
        status = bufferTallyNow(tank, get);
    if (status == 0)
        status = tankServe(tank);
    Py_DECREF(tank);
    if (status < 0)
        return APPLY_REFUSED;
    *value = get ? PyFloat_FromDouble(amount) : Py_None;
    if (!get)
        Py_INCREF(Py_None);
    return *value != NULL ? APPLY_GO_ON : APPLY_REFUSED;
}

ApplyResult tankPut(TankObject *tank, ProcessObject *process, double amount, PyObject **value)
{
    return tankMove(tank, process, amount, false, value);
}

ApplyResult tankGet(TankObject *tank, ProcessObject *process, double amount, PyObject **value)
{
    return tankMove(tank, process, amount, true, value);
}

// ---------------------------------------------------------------------------
// Methods

// The amount of a put or get: positive and at most the capacity, or it
// could never be served.
static PyObject *tankCommand(PyObject *self, PyObject *amountObject, bool get)
{
    TankObject *tank = asTank(self);
    if (!bufferInitialised(tank))
        return NULL;
    double amount = 0.0;
    const char *what = get ? "get() amount" : "put() amount";
    if (kernelNumber(tank->sim, amountObject, what, false, &amount) < 0)
        return NULL;
    if (!(amount > 0) || amount > tank->capacity) {
        PyObject *capacity = PyFloat_FromDouble(tank->capacity);
        return kernelError(hooks.argumentError, tank->sim, "tank %r %s must be positive and at most its capacity %r, got %r",
                           capacity != NULL ? Py_BuildValue("(OsNO)", tank->name, what, capacity, amountObject) : NULL);
    }
    return transferNew(self, get, amountObject, NULL, amount, 0.0);
}

static PyObject *tankPutMethod(PyObject *self, PyObject *amount) { return tankCommand(self, amount, false); }
static PyObject *tankGetMethod(PyObject *self, PyObject *amount) { return tankCommand(self, amount, true); }

static PyMethodDef tankMethods[] = {
    {"put", tankPutMethod, METH_O, NULL},
    {"get", tankGetMethod, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static PyObject *tankAmount(PyObject *self, void *) { return PyFloat_FromDouble(asTank(self)->amount); }
static PyObject *tankCapacity(PyObject *self, void *) { return PyFloat_FromDouble(asTank(self)->capacity); }

static PyGetSetDef tankGetSet[] = {
    {const_cast<char *>("amount"), tankAmount, NULL, const_cast<char *>("what the tank holds now"), NULL},
    {const_cast<char *>("capacity"), tankCapacity, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

// ---------------------------------------------------------------------------
// The type

// Tank(sim, capacity=inf, init=0, name="tank", series=False)
static int tankInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"sim", "capacity", "init", "name", "series", NULL};
    PyObject *sim = NULL, *capacityObject = NULL, *initObject = NULL, *name = NULL, *series = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOO:Tank", const_cast<char **>(keywords), &sim, &capacityObject,
                                     &initObject, &name, &series))
        return -1;
    if (!isSimulation(sim)) {
        kernelPlainError(hooks.commandError, Py_None, "Tank() needs a Simulation, not %r", Py_BuildValue("(O)", sim));
        return -1;
    }
    SimulationObject *simulation = reinterpret_cast<SimulationObject *>(sim);
    double capacity = INFINITY, amount = 0.0;
    if (capacityObject != NULL && capacityObject != Py_None &&
        kernelNumber(simulation, capacityObject, "Tank() capacity", false, &capacity) < 0)
        return -1;
    if (initObject != NULL && kernelNumber(simulation, initObject, "Tank() init", false, &amount) < 0)
        return -1;
    if (!(capacity > 0) || amount > capacity) {
        kernelError(hooks.argumentError, simulation, "Tank() needs a positive capacity and 0 <= init <= capacity, got "
                    "capacity %r and init %r", Py_BuildValue("(OO)", orNone(capacityObject), orNone(initObject)));
        return -1;
    }
    PyObject *label = name != NULL ? name : compatStringFromString("tank");
    if (label == NULL)
        return -1;
    if (name != NULL)
        Py_INCREF(label);
    PyObject *start = PyFloat_FromDouble(amount);
    TankObject *tank = asTank(self);
    BufferArgs common = {sim, label, series};
    int status = start != NULL && bufferInit(tank, common, "tank", start) == 0 ? 0 : -1;
    if (status == 0) {
        tank->amount = amount;
        tank->capacity = capacity;
        tank->serve = tankServe;
    }
    Py_XDECREF(start);
    Py_DECREF(label);
    return status;
}

static int tankTraverse(PyObject *self, visitproc visit, void *arg) { return bufferTraverse(asTank(self), visit, arg); }

static int tankClear(PyObject *self)
{
    bufferClear(asTank(self));
    return 0;
}

static void tankDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (asTank(self)->weakrefs != NULL)
        PyObject_ClearWeakRefs(self);
    tankClear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *tankRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.tankRepr, self, NULL); }

static PyTypeObject makeTankType()
{
    PyTypeObject type = kernelTypeHead("vorm.Tank",
                                       "Tank(sim, capacity=inf, init=0, name='tank', series=False): an amount that "
                                       "processes put and get, waiting until it fits or is there.",
                                       sizeof(TankObject), Py_TPFLAGS_BASETYPE);
    type.tp_new = PyType_GenericNew;
    type.tp_init = tankInit;
    type.tp_dealloc = tankDealloc;
    type.tp_traverse = tankTraverse;
    type.tp_clear = tankClear;
    type.tp_repr = tankRepr;
    type.tp_methods = tankMethods;
    type.tp_getset = tankGetSet;
    type.tp_base = &BufferType;
    return type;
}

PyTypeObject TankType = makeTankType();
