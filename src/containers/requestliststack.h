// RequestListStack: the list whose push stores at the front.
#ifndef VORM_CONTAINERS_REQUESTLISTSTACK_H
#define VORM_CONTAINERS_REQUESTLISTSTACK_H

#include "requestlistfifo.h"

extern RequestContainerTypeObject RequestListStackType;

#endif
