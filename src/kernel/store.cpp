// Store: items in a core container, and the serving of its two lines.
#include "store.h"

#include "process.h"
#include "simulation.h"
#include "transfer.h"

static StoreObject *asStore(PyObject *self) { return reinterpret_cast<StoreObject *>(self); }

static int recordCount(StoreObject *store)
{
    return bufferRecordContents(store, compatIntFromLong(static_cast<long>(store->items.size())));
}

// Puts item into the store's container. -1 on error.
static int storeItem(StoreObject *store, PyObject *item, double priority)
{
    PyObject *entry = kernelNewRequest(store->priority ? core->priorityRequestType : core->linkedRequestType);
    if (entry == NULL)
        return -1;
    if (store->priority)
        reinterpret_cast<PriorityRequestObject *>(entry)->priority = priority;
    setField(&asRequest(entry)->val, item);
    setField(&asRequest(entry)->name, store->name);
    asRequest(entry)->firedTime = store->sim->now;
    int status = store->items.push(entry);
    Py_DECREF(entry);
    return status < 0 ? -1 : recordCount(store);
}

// Whether item passes filter (None: every item does). -1 on error.
static int passes(PyObject *filter, PyObject *item)
{
    if (filter == NULL || filter == Py_None)
        return 1;
    PyObject *verdict = PyObject_CallFunctionObjArgs(filter, item, NULL);
    if (verdict == NULL)
        return -1;
    int truth = PyObject_IsTrue(verdict);
    Py_DECREF(verdict);
    return truth;
}

// Orders two item entries as the store serves them.
static bool servedBefore(StoreObject *store, PyObject *a, PyObject *b)
{
    if (!store->priority)
        return false; // the list's own order: the earlier one comes first
    double pa = reinterpret_cast<PriorityRequestObject *>(a)->priority;
    double pb = reinterpret_cast<PriorityRequestObject *>(b)->priority;
    if (pa != pb)
        return pa > pb;
    PyObject *ida = reinterpret_cast<PriorityRequestObject *>(a)->id, *idb = reinterpret_cast<PriorityRequestObject *>(b)->id;
    return PyObject_RichCompareBool(ida, idb, Py_LT) == 1;
}

// The entry of the first item that filter takes, in the order of service
// (new reference), or NULL: none passes (no error set) or an error.
static PyObject *findItem(StoreObject *store, PyObject *filter)
{
    if ((filter == NULL || filter == Py_None) && store->items.size() > 0)
        return PyObject_CallMethodObjArgs(store->items.object, names.get, NULL);
    PyObject *entries = PySequence_List(store->items.object);
    if (entries == NULL)
        return NULL;
    PyObject *found = NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        PyObject *entry = PyList_GET_ITEM(entries, i);
        if (found != NULL && !servedBefore(store, entry, found))
            continue;
        int pass = passes(filter, asRequest(entry)->val);
        if (pass < 0) {
            Py_XDECREF(found);
            Py_DECREF(entries);
            return NULL;
        }
        if (pass) {
            Py_INCREF(entry);
            Py_XSETREF(found, entry);
            if (!store->priority)
                break;
        }
    }
    Py_DECREF(entries);
    // The filter may have run code that took the item meanwhile.
    if (found != NULL && asRequest(found)->queue != store->items.object)
        Py_CLEAR(found);
    return found;
}

// Takes the item of entry out of the store; the item (new reference).
static PyObject *takeItem(StoreObject *store, PyObject *entry)
{
    PyObject *item = asRequest(entry)->val;
    Py_INCREF(item);
    if (store->items.remove(entry) < 0 || recordCount(store) < 0) {
        Py_DECREF(item);
        return NULL;
    }
    return item;
}

// Serves the waiting getters (first come, first served, each with the first
// item its filter takes), then admits the waiting putters while there is
// room, until neither can go on.
static int storeServe(BufferObject *buffer)
{
    StoreObject *store = static_cast<StoreObject *>(buffer);
    Py_INCREF(store);
    int status = 0;
    for (bool progressed = true; progressed && status == 0;) {
        progressed = false;
        PyObject *getters = store->getters.size() > 0 && store->items.size() > 0 ? PySequence_List(store->getters.object)
                                                                                 : PyList_New(0);
        if (getters == NULL) {
            status = -1;
            break;
        }
        for (Py_ssize_t i = 0; status == 0 && i < PyList_GET_SIZE(getters) && store->items.size() > 0; ++i) {
            PyObject *getter = PyList_GET_ITEM(getters, i);
            if (asRequest(getter)->queue != store->getters.object) // withdrawn meanwhile
                continue;
            PyObject *found = findItem(store, asTransferEntry(getter)->filter);
            if (found == NULL) {
                status = PyErr_Occurred() ? -1 : 0;
                continue;
            }
            // Re-read: the filter may have served this getter already.
            PyObject *item = asRequest(getter)->queue == store->getters.object ? takeItem(store, found) : NULL;
            Py_DECREF(found);
            if (item == NULL) {
                status = PyErr_Occurred() ? -1 : 0;
                continue;
            }
            if (store->getters.remove(getter) == 0)
                status = bufferComplete(store, getter, true, item);
            else
                status = -1;
            Py_DECREF(item);
            progressed = true;
        }
        Py_DECREF(getters);
        while (status == 0 && store->putters.size() > 0 && store->items.size() < store->capacity) {
            PyObject *putter = store->putters.pop();
            if (putter == NULL) {
                status = -1;
                break;
            }
            TransferEntryObject *entry = asTransferEntry(putter);
            status = storeItem(store, entry->item, entry->priority);
            if (status == 0)
                status = bufferComplete(store, putter, false, Py_None);
            Py_DECREF(putter);
            progressed = true;
        }
    }
    Py_DECREF(store);
    return status;
}

ApplyResult storePut(StoreObject *store, ProcessObject *process, PyObject *item, double priority, PyObject **value)
{
    if (!bufferUsable(store, process))
        return APPLY_REFUSED;
    SimulationObject *sim = store->sim;
    if (simulationTracing(sim) && simulationTraceEvent(sim, asObject(process), "put", item) < 0)
        return APPLY_REFUSED;
    // First come, first served: a put waits behind those waiting already.
    if (store->putters.size() > 0 || store->items.size() >= store->capacity) {
        PyObject *entry = NULL;
        if (bufferPark(store, process, false, item, NULL, 0.0, priority, &entry) < 0)
            return APPLY_REFUSED;
        Py_DECREF(entry);
        return APPLY_PARKED;
    }
    Py_INCREF(store);
    int status = storeItem(store, item, priority);
    if (status == 0)
        status = bufferTallyNow(store, false);
    if (status == 0)
        status = storeServe(store);
    Py_DECREF(store);
    if (status < 0)
        return APPLY_REFUSED;
    Py_INCREF(Py_None);
    *value = Py_None;
    return APPLY_GO_ON;
}

ApplyResult storeGet(StoreObject *store, ProcessObject *process, PyObject *filter, PyObject **value)
{
    if (!bufferUsable(store, process))
        return APPLY_REFUSED;
    SimulationObject *sim = store->sim;
    if (simulationTracing(sim) && simulationTraceEvent(sim, asObject(process), "get", orNone(filter)) < 0)
        return APPLY_REFUSED;
    Py_INCREF(store);
    // Those waiting already found nothing they take among the items there
    // are: a new get may take one that it does.
    PyObject *found = store->items.size() > 0 ? findItem(store, filter) : NULL;
    ApplyResult result = APPLY_REFUSED;
    if (found != NULL) {
        PyObject *item = takeItem(store, found);
        Py_DECREF(found);
        if (item != NULL && bufferTallyNow(store, true) == 0 && storeServe(store) == 0) {
            *value = item;
            result = APPLY_GO_ON;
        } else {
            Py_XDECREF(item);
        }
    } else if (!PyErr_Occurred()) {
        PyObject *entry = NULL;
        if (bufferPark(store, process, true, Py_None, filter, 0.0, 0.0, &entry) == 0) {
            Py_DECREF(entry);
            result = APPLY_PARKED;
        }
    }
    Py_DECREF(store);
    return result;
}

// ---------------------------------------------------------------------------
// Methods

static PyObject *storePutMethod(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"item", "priority", NULL};
    PyObject *slots[8];
    if (!args.unpack("put", parameters, 1, slots))
        return NULL;
    StoreObject *store = asStore(self);
    if (!bufferInitialised(store))
        return NULL;
    double priority = 0.0;
    if (slots[1] != NULL) {
        if (!store->priority)
            return kernelError(hooks.argumentError, store->sim, "store %r has no priorities: make it with priority=True",
                               Py_BuildValue("(O)", store->name));
        if (kernelNumber(store->sim, slots[1], "put() priority", true, &priority) < 0)
            return NULL;
    }
    return transferNew(self, false, slots[0], NULL, 0.0, priority);
}

static PyObject *storeGetMethod(PyObject *self, const CompatKeywordArgs &args)
{
    static const char *const parameters[] = {"filter", NULL};
    PyObject *slots[8];
    if (!args.unpack("get", parameters, 0, slots))
        return NULL;
    StoreObject *store = asStore(self);
    if (!bufferInitialised(store))
        return NULL;
    PyObject *filter = slots[0] != NULL && slots[0] != Py_None ? slots[0] : NULL;
    if (filter != NULL && !PyCallable_Check(filter))
        return kernelError(hooks.commandError, store->sim, "get() filter must be None or a callable, not %r",
                           Py_BuildValue("(O)", filter));
    return transferNew(self, true, Py_None, filter, 0.0, 0.0);
}

// The items in the order the store serves them.
static PyObject *storeItems(PyObject *self, void *)
{
    StoreObject *store = asStore(self);
    if (!bufferInitialised(store))
        return NULL;
    PyObject *entries = PySequence_List(store->items.object);
    if (entries == NULL)
        return NULL;
    if (store->priority) {
        // Highest priority first, first in among equals: sort on (-priority, id).
        PyObject *keyed = PyList_New(PyList_GET_SIZE(entries));
        for (Py_ssize_t i = 0; keyed != NULL && i < PyList_GET_SIZE(entries); ++i) {
            PriorityRequestObject *entry = reinterpret_cast<PriorityRequestObject *>(PyList_GET_ITEM(entries, i));
            PyObject *key = Py_BuildValue("(dOO)", -entry->priority, entry->id, entry->val);
            if (key == NULL)
                Py_CLEAR(keyed);
            else
                PyList_SET_ITEM(keyed, i, key);
        }
        Py_DECREF(entries);
        if (keyed == NULL || PyList_Sort(keyed) < 0) {
            Py_XDECREF(keyed);
            return NULL;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keyed); ++i) {
            PyObject *item = PyTuple_GET_ITEM(PyList_GET_ITEM(keyed, i), 2);
            Py_INCREF(item);
            PyList_SetItem(keyed, i, item);
        }
        return keyed;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        PyObject *item = asRequest(PyList_GET_ITEM(entries, i))->val;
        Py_INCREF(item);
        PyList_SetItem(entries, i, item);
    }
    return entries;
}

static Py_ssize_t storeLength(PyObject *self)
{
    StoreObject *store = asStore(self);
    return store->items.object != NULL ? store->items.size() : 0;
}

static PyObject *storeCapacity(PyObject *self, void *)
{
    if (asStore(self)->capacity == PY_SSIZE_T_MAX)
        return PyFloat_FromDouble(INFINITY);
    return compatIntFromLong(static_cast<long>(asStore(self)->capacity));
}

static PyObject *storeIsPriority(PyObject *self, void *) { return PyBool_FromLong(asStore(self)->priority); }

static PyObject *storeRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.storeRepr, self, NULL); }

static PyMethodDef storeMethods[] = {
    {"put", VORM_METH(compatKeywordsEntry<storePutMethod>), VORM_KEYWORDS_FLAGS, NULL},
    {"get", VORM_METH(compatKeywordsEntry<storeGetMethod>), VORM_KEYWORDS_FLAGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef storeGetSet[] = {
    {const_cast<char *>("items"), storeItems, NULL, const_cast<char *>("the items, in the order they are served"), NULL},
    {const_cast<char *>("capacity"), storeCapacity, NULL, NULL, NULL},
    {const_cast<char *>("priority"), storeIsPriority, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PySequenceMethods storeSequence = {storeLength, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};

// ---------------------------------------------------------------------------
// The type

// Store(sim, capacity=None, name="store", priority=False, series=False)
static int storeInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"sim", "capacity", "name", "priority", "series", NULL};
    PyObject *sim = NULL, *capacityObject = Py_None, *name = NULL, *priorityObject = Py_False, *series = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOO:Store", const_cast<char **>(keywords), &sim, &capacityObject,
                                     &name, &priorityObject, &series))
        return -1;
    if (!isSimulation(sim)) {
        kernelPlainError(hooks.commandError, Py_None, "Store() needs a Simulation, not %r", Py_BuildValue("(O)", sim));
        return -1;
    }
    SimulationObject *simulation = reinterpret_cast<SimulationObject *>(sim);
    PyObject *label = name != NULL ? name : compatStringFromString("store");
    if (label == NULL)
        return -1;
    if (name != NULL)
        Py_INCREF(label);
    Py_ssize_t capacity = PY_SSIZE_T_MAX;
    int status = 0;
    if (capacityObject != Py_None) {
        double bound = 0.0;
        int integral = !PyBool_Check(capacityObject) && PyObject_IsInstance(capacityObject, hooks.integralType);
        if (integral < 0) {
            status = -1;
        } else if (!integral && PyFloat_Check(capacityObject) && (bound = PyFloat_AS_DOUBLE(capacityObject)) == INFINITY) {
            capacity = PY_SSIZE_T_MAX;
        } else if (!integral || (capacity = PyNumber_AsSsize_t(capacityObject, NULL)) < 1) {
            if (!PyErr_Occurred())
                kernelError(hooks.argumentError, simulation, "store %r capacity must be None or an integer of at least 1, "
                            "got %r", Py_BuildValue("(OO)", label, capacityObject));
            status = -1;
        }
    }
    int priority = status == 0 ? PyObject_IsTrue(priorityObject) : -1;
    StoreObject *store = asStore(self);
    PyObject *items = priority < 0 ? NULL
                                   : PyObject_CallObject(asObject(priority ? core->binaryHeapType : core->listFIFOType), NULL);
    PyObject *zero = items != NULL ? compatIntFromLong(0) : NULL;
    BufferArgs common = {sim, label, series};
    if (zero != NULL && bufferInit(store, common, "store", zero) == 0 && simulationRegister(simulation, items) == 0 &&
        containerOf(items, &store->items) == 0) {
        store->capacity = capacity;
        store->priority = priority != 0;
        store->serve = storeServe;
        status = 0;
    } else {
        status = -1;
    }
    Py_XDECREF(zero);
    Py_XDECREF(items);
    Py_DECREF(label);
    return status;
}

static int storeTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(asStore(self)->items.object);
    return bufferTraverse(asStore(self), visit, arg);
}

static int storeClear(PyObject *self)
{
    Py_CLEAR(asStore(self)->items.object);
    bufferClear(asStore(self));
    return 0;
}

static void storeDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (asStore(self)->weakrefs != NULL)
        PyObject_ClearWeakRefs(self);
    storeClear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject makeStoreType()
{
    PyTypeObject type = kernelTypeHead("vorm.Store",
                                       "Store(sim, capacity=None, name='store', priority=False, series=False): "
                                       "items that processes put and get, waiting while it is full or empty.",
                                       sizeof(StoreObject), Py_TPFLAGS_BASETYPE);
    type.tp_new = PyType_GenericNew;
    type.tp_init = storeInit;
    type.tp_dealloc = storeDealloc;
    type.tp_traverse = storeTraverse;
    type.tp_clear = storeClear;
    type.tp_repr = storeRepr;
    type.tp_methods = storeMethods;
    type.tp_getset = storeGetSet;
    type.tp_as_sequence = &storeSequence;
    type.tp_base = &BufferType;
    return type;
}

PyTypeObject StoreType = makeStoreType();
