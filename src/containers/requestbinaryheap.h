// RequestBinaryHeap: priority requests, highest priority first, then oldest.
#ifndef VORM_CONTAINERS_REQUESTBINARYHEAP_H
#define VORM_CONTAINERS_REQUESTBINARYHEAP_H

#include "container.h"

#endif
