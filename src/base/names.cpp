// The method-name strings of the core.
#include "names.h"

PyObject *namesMethodName = NULL;
PyObject *getContinuationMethodName = NULL;
PyObject *pushMethodName = NULL;

bool createMethodNames()
{
    if (namesMethodName == NULL)
        namesMethodName = compatMethodName("names");
    if (getContinuationMethodName == NULL)
        getContinuationMethodName = compatMethodName("getContinuation");
    if (pushMethodName == NULL)
        pushMethodName = compatMethodName("push");
    return namesMethodName != NULL && getContinuationMethodName != NULL && pushMethodName != NULL;
}
