// The module vorm._kernel: the types, the module functions, and the hooks
// and core interface it reads when it loads.
#include "kernel.h"

#include "buffer.h"
#include "condition.h"
#include "facility.h"
#include "hold.h"
#include "level.h"
#include "process.h"
#include "seize.h"
#include "simulation.h"
#include "store.h"
#include "tally.h"
#include "tank.h"
#include "transfer.h"
#include "wait.h"

static bool internNames()
{
    struct {
        PyObject **slot;
        const char *text;
    } const table[] = {
        {&names.apply, "_apply"},   {&names.send, "send"},  {&names.throwName, "throw"}, {&names.close, "close"},
        {&names.clear, "clear"},    {&names.name, "__name__"}, {&names.nameAttr, "name"}, {&names.push, "push"},    {&names.pop, "pop"},
        {&names.get, "get"},        {&names.deleteName, "delete"}, {&names.create, "create"}, {&names.add, "add"},
        {&names.set, "set"},        {&names.reset, "reset"},    {&names.wait, "_wait"},
        {&names.cause, "cause"}, {&names.left, "left"},
    };
    for (const auto &entry : table)
        if (*entry.slot == NULL && (*entry.slot = compatMethodName(entry.text)) == NULL)
            return false;
    return true;
}

// The hooks: every name must be there, or the import fails saying which.
static bool readHooks()
{
    PyObject *module = PyImport_ImportModule("vorm._hooks");
    if (module == NULL)
        return false;
    struct {
        PyObject **slot;
        const char *name;
    } const table[] = {
        {&hooks.simulationError, "SimulationError"}, {&hooks.commandError, "CommandError"},
        {&hooks.argumentError, "ArgumentError"},     {&hooks.stateError, "StateError"},
        {&hooks.processError, "ProcessError"},       {&hooks.interrupt, "Interrupt"},
        {&hooks.simulationRepr, "simulation_repr"},  {&hooks.processRepr, "process_repr"},
        {&hooks.facilityRepr, "facility_repr"},      {&hooks.seizeRepr, "seize_repr"},
        {&hooks.holdRepr, "hold_repr"},              {&hooks.conditionRepr, "condition_repr"},
        {&hooks.tallyRepr, "tally_repr"},            {&hooks.levelRepr, "level_repr"},
        {&hooks.storeRepr, "store_repr"},            {&hooks.tankRepr, "tank_repr"},
        {&hooks.transferRepr, "transfer_repr"},
        {&hooks.writeSeries, "write_series"},        {&hooks.histogram, "histogram"},
        {&hooks.runUntil, "run_until"},              {&hooks.realType, "Real"},
        {&hooks.integralType, "Integral"},
    };
    bool complete = true;
    for (const auto &entry : table) {
        PyObject *value = PyObject_GetAttrString(module, entry.name);
        if (value == NULL) {
            complete = false;
            break;
        }
        PyObject *old = *entry.slot;
        *entry.slot = value; // kept for the life of the process
        Py_XDECREF(old);
    }
    Py_DECREF(module);
    if (complete && !PyType_Check(hooks.interrupt)) {
        PyErr_SetString(PyExc_ImportError, "vorm._hooks.Interrupt must be a class");
        return false;
    }
    return complete;
}

// Made only by Simulation.start: the constructor it inherits is taken away
// once the type is ready.
static bool forbidConstruction(PyTypeObject *type)
{
    type->tp_new = NULL;
    if (PyDict_GetItemString(type->tp_dict, "__new__") != NULL && PyDict_DelItemString(type->tp_dict, "__new__") < 0)
        return false;
    PyType_Modified(type);
    return true;
}

static PyMethodDef moduleFunctions[] = {
    {"hold", VORM_METH(compatKeywordsEntry<holdFunction>), VORM_KEYWORDS_FLAGS,
     "hold(delay, value=None): yield hold(d) suspends the process for d time units; it evaluates to value."},
    {"first", VORM_METH(compatVarArgsEntry<conditionFirst>), VORM_VARARGS_FLAGS,
     "first(*commands): yield first(a, b) waits for the first of the commands; it evaluates to (index, value)."},
    {"wait", waitFunction, METH_O,
     "wait(what): yield wait(process) waits until the process has finished, yield wait(signal) until it is set."},
    {"all_of", VORM_METH(compatVarArgsEntry<conditionAllOf>), VORM_VARARGS_FLAGS,
     "all_of(*commands): yield all_of(a, b) waits for every command; it evaluates to the list of their values."},
    {NULL, NULL, 0, NULL},
};

struct Published {
    const char *name;
    PyTypeObject *type;
};

static PyObject *createModule()
{
    PyObject *module = compatModuleCreate("vorm._kernel", moduleFunctions, "the simulation layer's native types");
    if (module == NULL)
        return NULL;
    if ((core = vormImportCoreAPI()) == NULL || !internNames() || !readHooks()) {
        compatModuleFailed(module);
        return NULL;
    }
    ProcessType.tp_base = core->timeRequestType;
    TimerType.tp_base = core->timeRequestType;
    TransferEntryType.tp_base = core->linkedRequestType;
    const Published types[] = {
        {"Simulation", &SimulationType}, {"Process", &ProcessType}, {"Facility", &FacilityType},
        {"Seize", &SeizeType},           {"Hold", &HoldType},       {"Condition", &ConditionType},
        {"Tally", &TallyType},           {"Level", &LevelType},     {"Timer", &TimerType},
        {"Buffer", &BufferType},         {"Store", &StoreType},     {"Tank", &TankType},
        {"Transfer", &TransferType},     {"TransferEntry", &TransferEntryType}, {"Wait", &WaitType},
    };
    for (const Published &published : types)
        if (PyType_Ready(published.type) < 0) {
            compatModuleFailed(module);
            return NULL;
        }
    if (!forbidConstruction(&ProcessType) || !forbidConstruction(&TimerType) ||
        !forbidConstruction(&TransferEntryType) ||
        (parkedMarker == NULL && (parkedMarker = PyObject_CallObject(asObject(&PyBaseObject_Type), NULL)) == NULL)) {
        compatModuleFailed(module);
        return NULL;
    }
    for (const Published &published : types) {
        Py_INCREF(published.type);
        if (PyModule_AddObject(module, published.name, asObject(published.type)) < 0) {
            Py_DECREF(published.type);
            compatModuleFailed(module);
            return NULL;
        }
    }
    Py_INCREF(parkedMarker);
    if (PyModule_AddObject(module, "PARKED", parkedMarker) < 0) {
        Py_DECREF(parkedMarker);
        compatModuleFailed(module);
        return NULL;
    }
    return module;
}

VORM_MODINIT_NAMED(_kernel)
{
    PyObject *module = createModule();
    VORM_MODINIT_RETURN(module);
}
