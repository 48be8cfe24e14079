// TimeRequestBinaryHeap and its iterator.
#include "timerequestbinaryheap.h"

RequestContainerTypeObject TimeRequestBinaryHeapType =
    HeapType<TimeOrder>::make("vorm.ext.TimeRequestBinaryHeap", "vorm.ext.TimeRequestBinaryHeap objects");

PyTypeObject TimeRequestBinaryHeapIteratorType =
    slotsIteratorTypeHead("vorm.ext.TimeRequestBinaryHeapIterator", "vorm.ext.TimeRequestBinaryHeapIterator objects");
