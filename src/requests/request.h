// Request records and the steps that every request type and container shares.
#ifndef VORM_REQUESTS_REQUEST_H
#define VORM_REQUESTS_REQUEST_H

#include "records.h"

extern PyTypeObject RequestType;
extern PyTypeObject RequestIteratorType;
extern PyTypeObject LinkedRequestType;
extern PyTypeObject PriorityRequestType;
extern PyTypeObject TimeRequestType;

inline bool isRequest(PyObject *object) { return PyObject_TypeCheck(object, &RequestType); }
inline bool isLinkedRequest(PyObject *object) { return PyObject_TypeCheck(object, &LinkedRequestType); }

// Shared request steps.
RequestObject *requestSetDefaults(RequestObject *request);
int requestInitFromArgs(RequestObject *request, PyObject *args, PyObject *kwds);
int requestTraverse(RequestObject *request, visitproc visit, void *arg);
int requestClear(RequestObject *request);
void requestDealloc(PyObject *self);

// The keywords as the parser of a request type reads them. The parser hands
// out borrowed references, and kwds may be a dict that the caller shares: on
// 2.7 and up to 3.8 Request(**kw) passes kw itself, and a caller in C may
// pass any dict on any version. Converting a number (__float__, __index__)
// in the middle of the parse can run code that empties such a dict, so when
// any argument could, the parser reads a private copy instead, which owns
// every value it hands out. The copy is kept from the collector, so that not
// even gc.get_objects() reaches it.
class RequestKeywords {
public:
    RequestKeywords(PyObject *args, PyObject *kwds);
    ~RequestKeywords() { Py_XDECREF(keywords_); }
    RequestKeywords(const RequestKeywords &) = delete;
    RequestKeywords &operator=(const RequestKeywords &) = delete;

    bool failed() const { return failed_; }
    PyObject *get() const { return keywords_; }

private:
    PyObject *keywords_;
    bool failed_;
};

// Shared pieces of the keyword initialisers of all request types.
struct RequestObjectArgs {
    PyObject *parent = NULL, *name = NULL, *prev = NULL, *val = NULL;
    PyObject *queue = NULL, *target = NULL, *canceled = NULL;
};
int requestApplyObjectArgs(RequestObject *request, const RequestObjectArgs &given);


// Float attributes (firedTime, priority, futureTime): the closure of their
// get/set entry. They accept a float or a plain int; anything else gets the
// attribute's own message.
struct RequestDoubleField {
    double *(*field)(PyObject *self);
    const char *deleteMessage;
    const char *typeMessage;
};
PyObject *requestGetDouble(PyObject *self, void *closure);
int requestSetDouble(PyObject *self, PyObject *value, void *closure);

// New requests of exactly the element types, as the containers' create makes
// them: defaults, reset links, a fresh identifier where the type has one, then
// the type's keyword initialisation.
PyObject *linkedRequestCreate(PyObject *args, PyObject *kwds);
PyObject *priorityRequestCreate(PyObject *args, PyObject *kwds);
PyObject *timeRequestCreate(PyObject *args, PyObject *kwds);

// True when the request's queue actually stores it (not merely a claim).
bool requestIsHeld(RequestObject *request);

// Request methods and slots that subtypes reuse (chain operations).
extern PyMethodDef requestMethods[];
extern PyGetSetDef requestGetSet[];
extern PySequenceMethods requestAsSequence;
extern PyMappingMethods requestAsMapping;
PyObject *requestRepr(PyObject *self);
PyObject *requestIter(PyObject *self);

// Identifiers of priority and time requests.
int assignRequestId(PriorityRequestObject *request);
PyObject *requestIdInitialize(PyObject *module, PyObject *unused);

// Slots that TimeRequest shares with PriorityRequest.
PyObject *priorityRequestNew(PyTypeObject *type, PyObject *args, PyObject *kwds);
void priorityRequestDealloc(PyObject *self);
int priorityRequestTraverse(PyObject *self, visitproc visit, void *arg);
int priorityRequestClear(PyObject *self);

// The text "<Kind [futureTime=...] priority=... name=... val=... id=...>";
// futureTime is written only when given.
PyObject *priorityRequestReprText(PyObject *self, const char *kind, const double *futureTime);

#endif
