// Request chain operations: look-ups by name over the prev chain, the name
// lists, append, getContinuation, the repr, membership, subscript and the
// RequestIterator type.
#include "chain.h"

#include "../base/names.h"
#include "../base/typeobjects.h"

// ---------------------------------------------------------------------------
// Walking

void chainCycleError() { PyErr_SetString(PyExc_RuntimeError, "the prev chain of the request is cyclic"); }

ChainWalk::ChainWalk(RequestObject *start) : current_(start)
{
    Py_INCREF(start);
    Py_INCREF(start);
    cycle_ = ChainCycleState{reinterpret_cast<PyObject *>(start), 0, 1};
}

ChainWalk::~ChainWalk()
{
    Py_XDECREF(current_);
    Py_XDECREF(cycle_.anchor);
}

int ChainWalk::advance()
{
    RequestObject *next = chainNext(current_);
    if (next == NULL)
        return 0;
    Py_INCREF(next);
    if (chainCycleStep(&cycle_, reinterpret_cast<PyObject *>(next))) {
        Py_DECREF(next);
        chainCycleError();
        return -1;
    }
    RequestObject *old = current_;
    current_ = next;
    Py_DECREF(old);
    return 1;
}

// Brent's bookkeeping over borrowed pointers: true when next is the anchor;
// otherwise counts the step and, at each power of two, makes next the anchor.
static bool brentMeetsAnchor(PyObject **anchor, Py_ssize_t *steps, Py_ssize_t *power, PyObject *next)
{
    if (next == *anchor)
        return true;
    if (++*steps == *power) {
        *steps = 0;
        *power *= 2;
        *anchor = next;
    }
    return false;
}

// Whether the chain from start loops, read as it stands now: following
// links runs no code, so this walk needs no references.
static bool chainLoopsFrom(PyObject *start)
{
    PyObject *anchor = start;
    Py_ssize_t steps = 0, power = 1;
    for (RequestObject *node = chainNext(reinterpret_cast<RequestObject *>(start)); node != NULL;
         node = chainNext(node))
        if (brentMeetsAnchor(&anchor, &steps, &power, reinterpret_cast<PyObject *>(node)))
            return true;
    return false;
}

int chainCycleStep(ChainCycleState *state, PyObject *next)
{
    PyObject *old = state->anchor;
    if (brentMeetsAnchor(&state->anchor, &state->steps, &state->power, next)) {
        // Meeting the anchor again proves a loop only if the chain was not
        // relinked meanwhile (a comparison may relink it); otherwise the
        // detection starts afresh from here.
        if (chainLoopsFrom(next))
            return 1;
        state->steps = 0;
        state->power = 1;
        return 0;
    }
    if (state->anchor != old) {
        Py_INCREF(next);
        Py_XDECREF(old);
    }
    return 0;
}

// Finds the first element whose name matches key: 1 with *found a new
// reference, 0 when no element matches, -1 when a comparison raised or the
// chain is cyclic.
static int requestFindByName(RequestObject *self, PyObject *key, RequestObject **found)
{
    ChainWalk walk(self);
    for (;;) {
        RequestObject *element = walk.current();
        PyObject *name = element->name;
        if (name != NULL) {
            Py_INCREF(name); // the comparison may rebind element.name
            int match = compatNamesMatch(name, key);
            Py_DECREF(name);
            if (match < 0)
                return -1;
            if (match) {
                Py_INCREF(element);
                *found = element;
                return 1;
            }
        }
        int moved = walk.advance();
        if (moved <= 0)
            return moved;
    }
}

// The element named key (a new reference), or NULL with KeyError "not found".
static RequestObject *requestLookUp(RequestObject *self, PyObject *key)
{
    RequestObject *found = NULL;
    int outcome = requestFindByName(self, key, &found);
    if (outcome == 0)
        PyErr_SetString(PyExc_KeyError, "not found");
    return outcome > 0 ? found : NULL;
}

static PyObject *noneIfNull(PyObject *value) { return value != NULL ? value : Py_None; }

// Builds one list item per chain element; item returns a new reference.
template <typename MakeItem>
static PyObject *requestChainList(RequestObject *self, MakeItem item)
{
    PyObject *list = PyList_New(0);
    if (list == NULL)
        return NULL;
    ChainWalk walk(self);
    for (;;) {
        PyObject *entry = item(walk.current());
        if (entry == NULL || PyList_Append(list, entry) < 0) {
            Py_XDECREF(entry);
            Py_DECREF(list);
            return NULL;
        }
        Py_DECREF(entry);
        int moved = walk.advance();
        if (moved == 0)
            return list;
        if (moved < 0) {
            Py_DECREF(list);
            return NULL;
        }
    }
}

static PyObject *chainNames(RequestObject *self)
{
    return requestChainList(self, [](RequestObject *element) {
        PyObject *name = noneIfNull(element->name);
        Py_INCREF(name);
        return name;
    });
}

// ---------------------------------------------------------------------------
// Methods

static PyObject *requestTime(PyObject *self, PyObject *key)
{
    RequestObject *found = requestLookUp(reinterpret_cast<RequestObject *>(self), key);
    if (found == NULL)
        return NULL;
    PyObject *result = PyFloat_FromDouble(found->firedTime);
    Py_DECREF(found);
    return result;
}

static PyObject *requestIndex(PyObject *self, PyObject *key)
{
    ChainWalk walk(reinterpret_cast<RequestObject *>(self));
    for (long position = 0;; ++position) {
        if (walk.current()->name == key)
            return compatIntFromLong(position);
        int moved = walk.advance();
        if (moved < 0)
            return NULL;
        if (moved == 0)
            break;
    }
    PyErr_SetString(PyExc_KeyError, "not found");
    return NULL;
}

static PyObject *requestNames(PyObject *self, PyObject *)
{
    return chainNames(reinterpret_cast<RequestObject *>(self));
}

// A pair of two borrowed values. Allocating the tuple can start a collection
// whose finalisers rebind the fields the values came from and so free them:
// both are held before the allocation.
static PyObject *pairOf(PyObject *first, PyObject *second)
{
    Py_INCREF(first);
    Py_INCREF(second);
    PyObject *pair = PyTuple_New(2);
    if (pair == NULL) {
        Py_DECREF(first);
        Py_DECREF(second);
        return NULL;
    }
    PyTuple_SET_ITEM(pair, 0, first);
    PyTuple_SET_ITEM(pair, 1, second);
    return pair;
}

static PyObject *requestNamesAndValues(PyObject *self, PyObject *)
{
    return requestChainList(reinterpret_cast<RequestObject *>(self), [](RequestObject *element) {
        return pairOf(noneIfNull(element->name), noneIfNull(element->val));
    });
}

static PyObject *requestNamesAndTimes(PyObject *self, PyObject *)
{
    return requestChainList(reinterpret_cast<RequestObject *>(self), [](RequestObject *element) {
        PyObject *time = PyFloat_FromDouble(element->firedTime);
        if (time == NULL)
            return time;
        PyObject *pair = pairOf(noneIfNull(element->name), time);
        Py_DECREF(time);
        return pair;
    });
}

static PyObject *requestAppend(PyObject *self, PyObject *other)
{
    if (other != Py_None && !isRequest(other)) {
        PyErr_SetString(PyExc_TypeError, "The other argument must be a Request");
        return NULL;
    }
    ChainWalk walk(reinterpret_cast<RequestObject *>(self));
    int moved;
    while ((moved = walk.advance()) > 0) {
    }
    if (moved < 0)
        return NULL;
    requestReplaceField(&walk.current()->prev, other);
    Py_INCREF(self);
    return self;
}

static PyObject *requestNothing(PyObject *, PyObject *) { Py_RETURN_NONE; }

static PyObject *requestGetContinuation(PyObject *self, PyObject *)
{
    PyObject *parent = noneIfNull(reinterpret_cast<RequestObject *>(self)->parent);
    Py_INCREF(parent); // the call may rebind self.parent
    PyObject *result = PyObject_CallMethodObjArgs(parent, getContinuationMethodName, NULL);
    Py_DECREF(parent);
    return result;
}

PyMethodDef requestMethods[] = {
    {"time", VORM_METH(requestTime), METH_O, ""},
    {"index", VORM_METH(requestIndex), METH_O, ""},
    {"names", VORM_METH(requestNames), METH_NOARGS, ""},
    {"namesAndValues", VORM_METH(requestNamesAndValues), METH_NOARGS, ""},
    {"namesAndTimes", VORM_METH(requestNamesAndTimes), METH_NOARGS, ""},
    {"append", VORM_METH(requestAppend), METH_O, ""},
    {"delete", VORM_METH(requestNothing), METH_O, ""},
    {"suspend", VORM_METH(requestNothing), METH_O, ""},
    {"resume", VORM_METH(requestNothing), METH_O, ""},
    {"action", VORM_METH(requestNothing), METH_O, ""},
    {"getContinuation", VORM_METH(requestGetContinuation), METH_NOARGS, ""},
    {"releaseAllFacilities", VORM_METH(requestNothing), METH_VARARGS, ""},
    {NULL, NULL, 0, NULL},
};

// ---------------------------------------------------------------------------
// Slots

PyObject *requestRepr(PyObject *self)
{
    PyObject *names = chainNames(reinterpret_cast<RequestObject *>(self));
    if (names == NULL)
        return NULL;
    PyObject *text = PyObject_Repr(names);
    Py_DECREF(names);
    return text;
}

static int requestContains(PyObject *self, PyObject *key)
{
    RequestObject *found = NULL;
    int outcome = requestFindByName(reinterpret_cast<RequestObject *>(self), key, &found);
    if (outcome > 0)
        Py_DECREF(found);
    return outcome;
}

static PyObject *requestSubscript(PyObject *self, PyObject *key)
{
    RequestObject *found = requestLookUp(reinterpret_cast<RequestObject *>(self), key);
    if (found == NULL)
        return NULL;
    PyObject *value = noneIfNull(found->val);
    Py_INCREF(value);
    Py_DECREF(found);
    return value;
}

PySequenceMethods requestAsSequence = {
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, requestContains, NULL, NULL,
};

PyMappingMethods requestAsMapping = {NULL, requestSubscript, NULL};

// ---------------------------------------------------------------------------
// RequestIterator

namespace {
struct RequestIteratorObject {
    PyObject_HEAD
    PyObject *request;
    PyObject *current; // None once the chain is exhausted
    ChainCycleState cycle;
};
} // namespace

PyObject *requestIter(PyObject *self)
{
    RequestIteratorObject *iterator = PyObject_GC_New(RequestIteratorObject, &RequestIteratorType);
    if (iterator == NULL)
        return NULL;
    Py_INCREF(self);
    iterator->request = self;
    Py_INCREF(self);
    iterator->current = self;
    Py_INCREF(self);
    iterator->cycle = ChainCycleState{self, 0, 1};
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject *>(iterator);
}

// The iterator moves on before the cycle step, whose release of the old
// anchor can run code that calls next() again: that call then finds the
// iterator past result, and result is already owned here.
static PyObject *requestIteratorNext(PyObject *self)
{
    RequestIteratorObject *iterator = reinterpret_cast<RequestIteratorObject *>(self);
    PyObject *result = iterator->current;
    if (result == Py_None)
        return NULL;
    PyObject *next = noneIfNull(reinterpret_cast<RequestObject *>(result)->prev);
    Py_INCREF(next);
    iterator->current = next; // the reference current held passes to the caller
    if (next == Py_None || !chainCycleStep(&iterator->cycle, next))
        return result;
    // Meeting the anchor releases nothing, so no code has run since current
    // moved, and the anchor keeps next alive: stepping back is safe, and
    // leaves the iterator to raise again on the next call.
    iterator->current = result;
    Py_DECREF(next);
    chainCycleError();
    return NULL;
}

static void requestIteratorDealloc(PyObject *self)
{
    RequestIteratorObject *iterator = reinterpret_cast<RequestIteratorObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(iterator->request);
    Py_XDECREF(iterator->current);
    Py_XDECREF(iterator->cycle.anchor);
    Py_TYPE(self)->tp_free(self);
}

static int requestIteratorTraverse(PyObject *self, visitproc visit, void *arg)
{
    RequestIteratorObject *iterator = reinterpret_cast<RequestIteratorObject *>(self);
    Py_VISIT(iterator->request);
    Py_VISIT(iterator->current);
    Py_VISIT(iterator->cycle.anchor);
    return 0;
}

static PyTypeObject makeRequestIteratorType()
{
    return iteratorTypeHead("vorm.ext.RequestIterator", "vorm.ext.RequestIterator objects",
                            sizeof(RequestIteratorObject), requestIteratorDealloc, requestIteratorNext,
                            requestIteratorTraverse);
}

PyTypeObject RequestIteratorType = makeRequestIteratorType();
