// RequestBinaryHeap and its iterator.
#include "requestbinaryheap.h"

// The tp_name carries an extra "PriorityRequest." component; the published
// name and the doc string do not.
RequestContainerTypeObject RequestBinaryHeapType =
    HeapType<PriorityOrder>::make("vorm.ext.PriorityRequest.RequestBinaryHeap", "vorm.ext.RequestBinaryHeap objects");

PyTypeObject RequestBinaryHeapIteratorType =
    slotsIteratorTypeHead("vorm.ext.RequestBinaryHeapIterator", "vorm.ext.RequestBinaryHeapIterator objects");
