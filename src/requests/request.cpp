// The Request type: fields, construction, keyword initialisation, attributes,
// collector support; and the steps that the other request types share.
#include "request.h"

#include "../base/typeobjects.h"

#include <cstddef>

#include "queue.h"

// ---------------------------------------------------------------------------
// Shared request steps

RequestObject *requestSetDefaults(RequestObject *request)
{
    PyObject *empty = compatStringFromString("");
    if (empty == NULL)
        return NULL;
    Py_INCREF(Py_None);
    request->parent = Py_None;
    request->name = empty;
    Py_INCREF(Py_None);
    request->prev = Py_None;
    Py_INCREF(Py_None);
    request->val = Py_None;
    Py_INCREF(Py_None);
    request->queue = Py_None;
    request->firedTime = -1.0;
    Py_INCREF(Py_None);
    request->target = Py_None;
    Py_INCREF(Py_None);
    request->canceled = Py_None;
    return request;
}

bool requestIsHeld(RequestObject *request)
{
    PyObject *queue = request->queue;
    if (queue == NULL || queue == Py_None || !isLinkedRequest(reinterpret_cast<PyObject *>(request)))
        return false;
    return containerHolds(queue, static_cast<LinkedRequestObject *>(request));
}

// Detaching a request from the container that holds it would leave that
// container's bookkeeping stale.
static int requestRefuseQueueChange(RequestObject *request, PyObject *queue)
{
    if (queue != request->queue && requestIsHeld(request)) {
        PyErr_SetString(PyExc_ValueError, "cannot change the queue of a request that its queue holds");
        return -1;
    }
    return 0;
}

static bool isNoneOrRequest(PyObject *value) { return value == Py_None || isRequest(value); }

namespace {

enum class FieldRule { Any, Parent, Prev, Queue };

struct ObjectField {
    size_t offset;
    FieldRule rule;
    const char *deleteMessage;
    const char *typeMessage;
};

const ObjectField parentField = {offsetof(RequestObject, parent), FieldRule::Parent,
                                 "Cannot delete the parent attribute", "The parent attribute value must be a Request"};
const ObjectField nameField = {offsetof(RequestObject, name), FieldRule::Any, "Cannot delete the name attribute", NULL};
const ObjectField prevField = {offsetof(RequestObject, prev), FieldRule::Prev, "Cannot delete the prev attribute",
                               "The prev attribute value must be a Request"};
const ObjectField valField = {offsetof(RequestObject, val), FieldRule::Any, "Cannot delete the val attribute", NULL};
const ObjectField queueField = {offsetof(RequestObject, queue), FieldRule::Queue, "Cannot delete the queue attribute",
                                "The queue attribute value must be a RequestContainer"};
const ObjectField targetField = {offsetof(RequestObject, target), FieldRule::Any, "Cannot delete the target attribute",
                                 NULL};
const ObjectField canceledField = {offsetof(RequestObject, canceled), FieldRule::Any,
                                   "Cannot delete the canceled attribute", NULL};

PyObject **fieldSlot(PyObject *self, const ObjectField *field)
{
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + field->offset);
}

// The keywords accept None for parent; the attribute does not.
bool fieldAccepts(const ObjectField *field, PyObject *value, bool keyword)
{
    switch (field->rule) {
    case FieldRule::Any:
        return true;
    case FieldRule::Parent:
        return isRequest(value) || (keyword && value == Py_None);
    case FieldRule::Prev:
        return isNoneOrRequest(value);
    case FieldRule::Queue:
        return value == Py_None || isRequestContainer(value);
    }
    return false;
}

} // namespace

// The one place where an object field changes, for the attributes and the
// keyword initialisers alike. The old value is handed to *old, not released:
// its release can run code, which the caller lets run only once it is done.
static int requestSwapField(PyObject *self, const ObjectField *field, PyObject *value, bool keyword, PyObject **old)
{
    if (!fieldAccepts(field, value, keyword)) {
        PyErr_SetString(PyExc_TypeError, field->typeMessage);
        return -1;
    }
    if (field->rule == FieldRule::Queue && requestRefuseQueueChange(reinterpret_cast<RequestObject *>(self), value) < 0)
        return -1;
    PyObject **slot = fieldSlot(self, field);
    *old = *slot;
    Py_INCREF(value);
    *slot = value;
    return 0;
}

static int requestStoreField(PyObject *self, const ObjectField *field, PyObject *value, bool keyword)
{
    PyObject *old = NULL;
    if (requestSwapField(self, field, value, keyword, &old) < 0)
        return -1;
    Py_XDECREF(old);
    return 0;
}

// The values are borrowed from the caller's arguments, and a released old
// value may run a finaliser that empties the caller's dict: so every field
// is stored before any old value is released. No check runs code meanwhile.
int requestApplyObjectArgs(RequestObject *request, const RequestObjectArgs &given)
{
    const struct {
        PyObject *value;
        const ObjectField *field;
    } fields[] = {{given.parent, &parentField},    {given.name, &nameField},   {given.prev, &prevField},
                  {given.val, &valField},          {given.queue, &queueField}, {given.target, &targetField},
                  {given.canceled, &canceledField}};
    PyObject *self = reinterpret_cast<PyObject *>(request);
    PyObject *old[sizeof(fields) / sizeof(fields[0])];
    size_t replaced = 0;
    int result = 0;
    for (const auto &entry : fields) {
        if (entry.value == NULL)
            continue;
        if (requestSwapField(self, entry.field, entry.value, true, &old[replaced]) < 0) {
            result = -1;
            break;
        }
        ++replaced;
    }
    for (size_t i = 0; i < replaced; ++i)
        Py_XDECREF(old[i]);
    return result;
}

// Whether the parser, converting value to a double, may run code. Floats
// (subclasses too) and exact integers are read in C.
static bool conversionMayRunCode(PyObject *value)
{
    if (PyFloat_Check(value) || compatIsExactInteger(value))
        return false;
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    return (number != NULL && number->nb_float != NULL) || PyIndex_Check(value);
}

// Positional values are converted before any keyword is read, but the code
// that they run may add keywords; a key that is no exact string makes the
// parser's look-ups compare with code of its own.
static bool parseMayRunCode(PyObject *args, PyObject *kwds)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        if (conversionMayRunCode(PyTuple_GET_ITEM(args, i)))
            return true;
    Py_ssize_t position = 0;
    PyObject *key = NULL, *value = NULL;
    while (PyDict_Next(kwds, &position, &key, &value))
        if (!compatIsExactString(key) || conversionMayRunCode(value))
            return true;
    return false;
}

// A dict that only the call holds (the interpreter builds one for every call
// with keywords, and from 3.9 on for **kw too) is out of reach of any code.
RequestKeywords::RequestKeywords(PyObject *args, PyObject *kwds) : keywords_(kwds), failed_(false)
{
    if (kwds == NULL || Py_REFCNT(kwds) == 1 || !parseMayRunCode(args, kwds)) {
        Py_XINCREF(kwds);
        return;
    }
    keywords_ = PyDict_Copy(kwds);
    if (keywords_ == NULL)
        failed_ = true;
    else
        PyObject_GC_UnTrack(keywords_); // its values do not refer to it, so it is in no cycle
}

int requestInitFromArgs(RequestObject *request, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"parent",    "name",     "prev",   "val",      "queue",
                                     "firedTime", "priority", "target", "canceled", NULL};
    RequestObjectArgs given;
    double priority = 0.0; // accepted and converted, but meaningless at this level
    RequestKeywords owned(args, kwds);
    if (owned.failed())
        return -1;

    request->firedTime = -1.0;
    if (!PyArg_ParseTupleAndKeywords(args, owned.get(), "|OOOOOddOO", const_cast<char **>(keywords), &given.parent,
                                     &given.name, &given.prev, &given.val, &given.queue, &request->firedTime, &priority,
                                     &given.target, &given.canceled))
        return -1;
    return requestApplyObjectArgs(request, given);
}

int requestTraverse(RequestObject *request, visitproc visit, void *arg)
{
    Py_VISIT(request->parent);
    Py_VISIT(request->name);
    Py_VISIT(request->prev);
    Py_VISIT(request->val);
    Py_VISIT(request->queue);
    Py_VISIT(request->target);
    Py_VISIT(request->canceled);
    return 0;
}

int requestClear(RequestObject *request)
{
    Py_CLEAR(request->parent);
    Py_CLEAR(request->name);
    Py_CLEAR(request->prev);
    Py_CLEAR(request->val);
    Py_CLEAR(request->queue);
    Py_CLEAR(request->target);
    Py_CLEAR(request->canceled);
    return 0;
}

// Releasing a request can release the next one of a long prev or parent
// chain; the trashcan turns that recursion into a loop.
void requestDealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    VORM_TRASHCAN_BEGIN(self, requestDealloc)
    requestClear(reinterpret_cast<RequestObject *>(self));
    Py_TYPE(self)->tp_free(self);
    VORM_TRASHCAN_END(self)
}

PyObject *requestGetDouble(PyObject *self, void *closure)
{
    return PyFloat_FromDouble(*static_cast<const RequestDoubleField *>(closure)->field(self));
}

// A float or a plain int; the long integers are refused, unlike the keywords.
int requestSetDouble(PyObject *self, PyObject *value, void *closure)
{
    const RequestDoubleField *field = static_cast<const RequestDoubleField *>(closure);
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, field->deleteMessage);
        return -1;
    }
    double number = 0.0;
    if (PyFloat_Check(value)) {
        number = PyFloat_AS_DOUBLE(value);
    } else if (!compatPlainIntValue(value, &number)) {
        PyErr_SetString(PyExc_TypeError, field->typeMessage);
        return -1;
    }
    *field->field(self) = number;
    return 0;
}

// ---------------------------------------------------------------------------
// Request type slots

static PyObject *requestNew(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    if (requestSetDefaults(reinterpret_cast<RequestObject *>(self)) == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

static int requestInit(PyObject *self, PyObject *args, PyObject *kwds)
{
    return requestInitFromArgs(reinterpret_cast<RequestObject *>(self), args, kwds);
}

static int requestTraverseSlot(PyObject *self, visitproc visit, void *arg)
{
    return requestTraverse(reinterpret_cast<RequestObject *>(self), visit, arg);
}

static int requestClearSlot(PyObject *self) { return requestClear(reinterpret_cast<RequestObject *>(self)); }

// ---------------------------------------------------------------------------
// Attributes

static PyObject *requestGetObject(PyObject *self, void *closure)
{
    PyObject *value = *fieldSlot(self, static_cast<const ObjectField *>(closure));
    if (value == NULL) // only after the collector cleared the request
        value = Py_None;
    Py_INCREF(value);
    return value;
}

static int requestSetObject(PyObject *self, PyObject *value, void *closure)
{
    const ObjectField *field = static_cast<const ObjectField *>(closure);
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, field->deleteMessage);
        return -1;
    }
    return requestStoreField(self, field, value, false);
}

// The messages speak of "the time attribute", not of firedTime.
static const RequestDoubleField firedTimeField = {
    [](PyObject *self) { return &reinterpret_cast<RequestObject *>(self)->firedTime; },
    "Cannot delete the time attribute", "The time attribute value must be a float or integer"};

static void *fieldClosure(const ObjectField &field) { return const_cast<ObjectField *>(&field); }

PyGetSetDef requestGetSet[] = {
    {const_cast<char *>("parent"), requestGetObject, requestSetObject, const_cast<char *>("parent"),
     fieldClosure(parentField)},
    {const_cast<char *>("name"), requestGetObject, requestSetObject, const_cast<char *>("name"),
     fieldClosure(nameField)},
    {const_cast<char *>("prev"), requestGetObject, requestSetObject, const_cast<char *>("prev"),
     fieldClosure(prevField)},
    {const_cast<char *>("val"), requestGetObject, requestSetObject, const_cast<char *>("val"), fieldClosure(valField)},
    {const_cast<char *>("queue"), requestGetObject, requestSetObject, const_cast<char *>("queue"),
     fieldClosure(queueField)},
    {const_cast<char *>("firedTime"), requestGetDouble, requestSetDouble, const_cast<char *>("firedTime"),
     const_cast<RequestDoubleField *>(&firedTimeField)},
    {const_cast<char *>("target"), requestGetObject, requestSetObject, const_cast<char *>("target"),
     fieldClosure(targetField)},
    {const_cast<char *>("canceled"), requestGetObject, requestSetObject, const_cast<char *>("canceled"),
     fieldClosure(canceledField)},
    {NULL, NULL, NULL, NULL, NULL},
};

// ---------------------------------------------------------------------------
// Type object

static PyTypeObject makeRequestType()
{
    PyTypeObject type = collectedTypeHead("vorm.ext.Request", "vorm.ext.Request objects", sizeof(RequestObject), NULL);
    type.tp_dealloc = requestDealloc;
    type.tp_repr = requestRepr;
    type.tp_as_sequence = &requestAsSequence;
    type.tp_as_mapping = &requestAsMapping;
    type.tp_traverse = requestTraverseSlot;
    type.tp_clear = requestClearSlot;
    type.tp_iter = requestIter;
    type.tp_methods = requestMethods;
    type.tp_getset = requestGetSet;
    type.tp_init = requestInit;
    type.tp_new = requestNew;
    return type;
}

PyTypeObject RequestType = makeRequestType();
