// Transfer: the put and get commands of stores and tanks, and the entries
// of those that wait.
#include "transfer.h"

#include "process.h"
#include "store.h"
#include "tank.h"

static TransferObject *asTransfer(PyObject *self) { return reinterpret_cast<TransferObject *>(self); }

PyObject *transferNew(PyObject *buffer, bool get, PyObject *item, PyObject *filter, double amount, double priority)
{
    TransferObject *transfer = PyObject_GC_New(TransferObject, &TransferType);
    if (transfer == NULL)
        return NULL;
    Py_INCREF(buffer);
    transfer->buffer = buffer;
    transfer->get = get;
    Py_INCREF(item);
    transfer->item = item;
    Py_XINCREF(filter);
    transfer->filter = filter;
    transfer->amount = amount;
    transfer->priority = priority;
    PyObject_GC_Track(transfer);
    return asObject(transfer);
}

ApplyResult transferApply(ProcessObject *process, TransferObject *transfer, PyObject **value)
{
    PyObject *buffer = transfer->buffer;
    if (isStore(buffer)) {
        StoreObject *store = reinterpret_cast<StoreObject *>(buffer);
        return transfer->get ? storeGet(store, process, transfer->filter, value)
                             : storePut(store, process, transfer->item, transfer->priority, value);
    }
    TankObject *tank = reinterpret_cast<TankObject *>(buffer);
    return transfer->get ? tankGet(tank, process, transfer->amount, value) : tankPut(tank, process, transfer->amount, value);
}

static PyObject *getBuffer(PyObject *self, void *)
{
    Py_INCREF(asTransfer(self)->buffer);
    return asTransfer(self)->buffer;
}

static PyObject *getIsGet(PyObject *self, void *) { return PyBool_FromLong(asTransfer(self)->get); }

static PyGetSetDef transferGetSet[] = {
    {const_cast<char *>("target"), getBuffer, NULL, const_cast<char *>("the store or tank"), NULL},
    {const_cast<char *>("get"), getIsGet, NULL, const_cast<char *>("whether it gets (else it puts)"), NULL},
    {const_cast<char *>("item"), kernelGetField, NULL, NULL, fieldClosure(offsetof(TransferObject, item))},
    {const_cast<char *>("filter"), kernelGetField, NULL, NULL, fieldClosure(offsetof(TransferObject, filter))},
    {NULL, NULL, NULL, NULL, NULL},
};

static int transferTraverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(asTransfer(self)->buffer);
    Py_VISIT(asTransfer(self)->item);
    Py_VISIT(asTransfer(self)->filter);
    return 0;
}

static int transferClear(PyObject *self)
{
    Py_CLEAR(asTransfer(self)->buffer);
    Py_CLEAR(asTransfer(self)->item);
    Py_CLEAR(asTransfer(self)->filter);
    return 0;
}

static void transferDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    transferClear(self);
    PyObject_GC_Del(self);
}

static PyObject *transferRepr(PyObject *self) { return PyObject_CallFunctionObjArgs(hooks.transferRepr, self, NULL); }

static PyTypeObject makeTransferType()
{
    PyTypeObject type = kernelTypeHead("vorm.Transfer", "yield store.put(item), store.get(), tank.put(x), tank.get(x).",
                                       sizeof(TransferObject), 0);
    type.tp_dealloc = transferDealloc;
    type.tp_traverse = transferTraverse;
    type.tp_clear = transferClear;
    type.tp_repr = transferRepr;
    type.tp_getset = transferGetSet;
    return type;
}

PyTypeObject TransferType = makeTransferType();

// ---------------------------------------------------------------------------
// The entry type

static int entryTraverse(PyObject *self, visitproc visit, void *arg)
{
    int result = core->linkedRequestType->tp_traverse(self, visit, arg);
    if (result != 0)
        return result;
    Py_VISIT(asTransferEntry(self)->item);
    Py_VISIT(asTransferEntry(self)->filter);
    return 0;
}

static int entryClear(PyObject *self)
{
    Py_CLEAR(asTransferEntry(self)->item);
    Py_CLEAR(asTransferEntry(self)->filter);
    return core->linkedRequestType->tp_clear(self);
}

static void entryDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(asTransferEntry(self)->item);
    Py_CLEAR(asTransferEntry(self)->filter);
    core->linkedRequestType->tp_dealloc(self);
}

static PyObject *entryItem(PyObject *self, void *)
{
    PyObject *item = orNone(asTransferEntry(self)->item);
    Py_INCREF(item);
    return item;
}

static PyObject *entryAmount(PyObject *self, void *) { return PyFloat_FromDouble(asTransferEntry(self)->amount); }

static PyGetSetDef entryGetSet[] = {
    {const_cast<char *>("item"), entryItem, NULL, const_cast<char *>("the item a put brings"), NULL},
    {const_cast<char *>("amount"), entryAmount, NULL, const_cast<char *>("the amount a tank's put or get moves"), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject makeTransferEntryType()
{
    PyTypeObject type = kernelTypeHead("vorm.TransferEntry", "The entry of a process waiting to put or get.",
                                       sizeof(TransferEntryObject), 0);
    type.tp_dealloc = entryDealloc;
    type.tp_traverse = entryTraverse;
    type.tp_clear = entryClear;
    type.tp_getset = entryGetSet;
    return type;
}

PyTypeObject TransferEntryType = makeTransferEntryType();

