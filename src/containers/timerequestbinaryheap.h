// TimeRequestBinaryHeap: time requests, earliest future time first, then highest priority, then
// oldest.
#ifndef VORM_CONTAINERS_TIMEREQUESTBINARYHEAP_H
#define VORM_CONTAINERS_TIMEREQUESTBINARYHEAP_H

#include "container.h"

#endif
