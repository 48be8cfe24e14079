// RequestArrayStack: the array whose delete keeps the order of the rest.
#ifndef VORM_CONTAINERS_REQUESTARRAYSTACK_H
#define VORM_CONTAINERS_REQUESTARRAYSTACK_H

#include "requestarray.h"

extern RequestContainerTypeObject RequestArrayStackType;

#endif
