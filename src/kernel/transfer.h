// Transfer: the commands store.put(item), store.get(filter), tank.put(x)
// and tank.get(x), and the entry in which a process that must wait for one
// of them files what it brings or wants.
#ifndef VORM_KERNEL_TRANSFER_H
#define VORM_KERNEL_TRANSFER_H

#include "kernel.h"

struct TransferObject {
    PyObject_HEAD
    PyObject *buffer; // owned store or tank
    bool get;
    PyObject *item;   // owned: what a put brings (a tank's: the amount as given)
    PyObject *filter; // owned: a store get's predicate, or NULL
    double amount;
    double priority;
};

extern PyTypeObject TransferType;

PyObject *transferNew(PyObject *buffer, bool get, PyObject *item, PyObject *filter, double amount, double priority);
ApplyResult transferApply(ProcessObject *process, TransferObject *transfer, PyObject **value);

// A waiting put or get: a LinkedRequest whose val is the process, whose
// target is the store or tank, and which carries what is put or wanted.
struct TransferEntryObject : LinkedRequestObject {
    PyObject *item;   // owned: the item put, or None
    PyObject *filter; // owned: a get's predicate, or NULL
    double amount;    // a tank's amount
    double priority;  // a priority store's priority
};

extern PyTypeObject TransferEntryType;

inline TransferEntryObject *asTransferEntry(PyObject *object) { return reinterpret_cast<TransferEntryObject *>(object); }

#endif
