// What a Store (of items) and a Tank (of an amount) share: the processes
// that wait to put and to get, in two first-come first-served lines of the
// core's lists, the monitors of their contents and waits, and the entries
// in which a waiting process files what it brings or wants.
//
// A put or a get that can complete at once goes on at once; otherwise the
// process files an entry in its line and waits. Whenever a buffer changes
// (something put, something taken, a waiting entry withdrawn), its waiting
// processes are served again: first the getters, first come first served,
// then the putters, until neither can be served.
#ifndef VORM_KERNEL_BUFFER_H
#define VORM_KERNEL_BUFFER_H

#include "transfer.h"

// The fields both buffers begin with.
struct BufferObject;
struct BufferObject {
    PyObject_HEAD
    SimulationObject *sim; // owned; NULL until initialised
    PyObject *name;
    Container getters, putters;     // RequestListFIFOs of TransferEntry
    PyObject *contents;             // a Level of what it holds
    PyObject *getWait, *putWait;    // Tallies of the waits of gets and puts
    int (*serve)(BufferObject *);   // serves the waiting processes that can be
    PyObject *dict;
    PyObject *weakrefs;
};

// The abstract base type of Store and Tank.
extern PyTypeObject BufferType;

inline bool isBuffer(PyObject *object) { return PyObject_TypeCheck(object, &BufferType); }
inline BufferObject *asBuffer(PyObject *object) { return reinterpret_cast<BufferObject *>(object); }

// Checks that a buffer may be used by process now. false with the error set.
bool bufferUsable(BufferObject *buffer, ProcessObject *process);

// Files process's waiting entry (new reference in *entry) in the getters'
// or putters' line. -1 on error.
int bufferPark(BufferObject *buffer, ProcessObject *process, bool get, PyObject *item, PyObject *filter,
               double amount, double priority, PyObject **entry);

// A waiting entry, just taken from its line, is served: its wait is
// tallied and its process resumes with value. -1 on error.
int bufferComplete(BufferObject *buffer, PyObject *entry, bool get, PyObject *value);

// A put or get that completed at once: its wait (0) is tallied.
int bufferTallyNow(BufferObject *buffer, bool get);

// The number of items or the amount, to the contents monitor.
int bufferRecordContents(BufferObject *buffer, PyObject *value);

// The entry leaves its line because its process stops waiting; the buffer
// then serves its lines again.
int bufferWithdraw(PyObject *entry);

// The shared parts of construction and collection.
struct BufferArgs {
    PyObject *sim, *name, *series;
};
int bufferInit(BufferObject *buffer, const BufferArgs &args, const char *kind, PyObject *contents);
int bufferTraverse(BufferObject *buffer, visitproc visit, void *arg);
void bufferClear(BufferObject *buffer);
bool bufferInitialised(BufferObject *buffer);

#endif
