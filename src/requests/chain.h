// Walking a request's prev chain.
#ifndef VORM_REQUESTS_CHAIN_H
#define VORM_REQUESTS_CHAIN_H

#include "request.h"

// Brent's cycle detection over a walk: the anchor (an owned reference)
// jumps to the walk's position whenever the step count reaches a power of
// two, and meeting it again means the chain loops. Constant memory, linear
// time.
struct ChainCycleState {
    PyObject *anchor;
    Py_ssize_t steps;
    Py_ssize_t power;
};
// 1 when next revisits an element and the chain, as it stands, loops; else
// 0. The anchor takes its reference to next before it releases the old one,
// which can run code; a 1 releases nothing, so no code has run by then.
int chainCycleStep(ChainCycleState *state, PyObject *next);

// Sets the error that every walk raises on a cyclic chain.
void chainCycleError();

// The element after request in its chain (borrowed), or NULL at the end.
inline RequestObject *chainNext(RequestObject *request)
{
    PyObject *prev = request->prev;
    if (prev == NULL || prev == Py_None)
        return NULL;
    return reinterpret_cast<RequestObject *>(prev);
}

// Walks request, request.prev, ... up to the first None. The walk owns a
// reference to the element it stands on, so comparisons that run user code
// cannot free it underneath, and it detects a chain that loops back on itself
// instead of walking forever.
class ChainWalk {
public:
    explicit ChainWalk(RequestObject *start);
    ~ChainWalk();
    ChainWalk(const ChainWalk &) = delete;
    ChainWalk &operator=(const ChainWalk &) = delete;

    RequestObject *current() const { return current_; }
    // 1: moved to the next element; 0: the chain ended; -1: the chain is
    // cyclic (RuntimeError set).
    int advance();

private:
    RequestObject *current_;
    ChainCycleState cycle_;
};

#endif
