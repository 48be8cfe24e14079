// The one place where the Python 2 and Python 3 C APIs are told apart.
// Everything else in the extension calls these helpers and never looks at
// PY_MAJOR_VERSION itself.
#ifndef VORM_BASE_COMPAT_H
#define VORM_BASE_COMPAT_H

#include <Python.h>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define VORM_EXPORT extern "C" __attribute__((visibility("default")))

// Method tables store every function as a PyCFunction; going through a plain
// function pointer keeps -Wcast-function-type quiet about the intended cast.
#define VORM_METH(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// A static type object with only its header filled in; the type's own file
// sets the slots it uses.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline PyTypeObject compatTypeHead()
{
    PyTypeObject type = {PyVarObject_HEAD_INIT(NULL, 0)};
    return type;
}
#pragma GCC diagnostic pop

// An exact arbitrary-precision integer (int on Python 3, long on Python 2)
// as a double, as float() would give it; false with no error set when it is
// something else or too large.
inline bool compatExactLongAsDouble(PyObject *value, double *out)
{
    if (!PyLong_CheckExact(value))
        return false;
    double number = PyLong_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *out = number;
    return true;
}

// Calls with one argument or none. Where the interpreter has vectorcall no
// argument tuple is built.
inline PyObject *compatCallNoArgs(PyObject *function)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallNoArgs(function);
#else
    return PyObject_CallObject(function, NULL);
#endif
}

inline PyObject *compatCallOneArg(PyObject *function, PyObject *argument)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallOneArg(function, argument);
#else
    return PyObject_CallFunctionObjArgs(function, argument, NULL);
#endif
}

// Resuming a generator. RETURN hands over the generator's result as a new
// reference: what StopIteration carried (args[0], or None without
// arguments), taken off the error indicator.
enum CompatSendResult { COMPAT_SEND_NEXT, COMPAT_SEND_RETURN, COMPAT_SEND_ERROR };

inline CompatSendResult compatStopIterationResult(PyObject **result)
{
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return COMPAT_SEND_ERROR;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *args = value != NULL ? PyObject_GetAttrString(value, "args") : NULL;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (args == NULL)
        return COMPAT_SEND_ERROR;
    *result = PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : Py_None;
    Py_INCREF(*result);
    Py_DECREF(args);
    return COMPAT_SEND_RETURN;
}

// Whether resuming generator goes through its bound send method (kept by the
// caller): everywhere before 3.10, and for anything that is not a plain
// generator. From 3.10 on a generator is resumed directly, which costs no
// bound method per generator and raises no StopIteration at its end.
inline bool compatNeedsBoundSend(PyObject *generator)
{
#if PY_VERSION_HEX >= 0x030A0000
    return !PyGen_CheckExact(generator);
#else
    (void)generator;
    return true;
#endif
}

#if PY_MAJOR_VERSION < 3
// Python 2 keeps one exception state per thread, which a generator sees
// again at its resumption: without this, a bare raise after a yield would
// re-raise whatever its resumer's caller happened to be handling. The
// generator gets the state of a resumption from a clean loop instead.
class CompatCleanExceptionState {
public:
    CompatCleanExceptionState() : state_(PyThreadState_GET())
    {
        type_ = state_->exc_type;
        value_ = state_->exc_value;
        traceback_ = state_->exc_traceback;
        state_->exc_type = state_->exc_value = state_->exc_traceback = NULL;
    }
    ~CompatCleanExceptionState()
    {
        PyObject *type = state_->exc_type, *value = state_->exc_value, *traceback = state_->exc_traceback;
        state_->exc_type = type_;
        state_->exc_value = value_;
        state_->exc_traceback = traceback_;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    CompatCleanExceptionState(const CompatCleanExceptionState &) = delete;
    CompatCleanExceptionState &operator=(const CompatCleanExceptionState &) = delete;

private:
    PyThreadState *state_;
    PyObject *type_, *value_, *traceback_;
};
#endif

// Resumes generator with value: through send (its bound send, see
// compatNeedsBoundSend) when that is not NULL.
inline CompatSendResult compatResume(PyObject *generator, PyObject *send, PyObject *value, PyObject **result)
{
#if PY_MAJOR_VERSION < 3
    CompatCleanExceptionState clean;
#endif
#if PY_VERSION_HEX >= 0x030A0000
    if (send == NULL) {
        switch (PyIter_Send(generator, value, result)) {
        case PYGEN_NEXT:
            return COMPAT_SEND_NEXT;
        case PYGEN_RETURN:
            return COMPAT_SEND_RETURN;
        default:
            return COMPAT_SEND_ERROR;
        }
    }
#else
    (void)generator;
#endif
    *result = PyObject_CallFunctionObjArgs(send, value, NULL);
    if (*result != NULL)
        return COMPAT_SEND_NEXT;
    return compatStopIterationResult(result);
}

// Raises error inside generator at its yield (generator.throw(error)).
inline CompatSendResult compatThrowIn(PyObject *generator, PyObject *throwName, PyObject *error, PyObject **result)
{
#if PY_MAJOR_VERSION < 3
    CompatCleanExceptionState clean;
#endif
    *result = PyObject_CallMethodObjArgs(generator, throwName, error, NULL);
    if (*result != NULL)
        return COMPAT_SEND_NEXT;
    return compatStopIterationResult(result);
}

// The message format % args, by the interpreter's own % operator, so that
// %r and %s of any object read as Python code would write them. args is a
// tuple; NULL with the error set on failure.
inline PyObject *compatFormat(const char *format, PyObject *args)
{
#if PY_MAJOR_VERSION >= 3
    PyObject *text = PyUnicode_FromString(format);
#else
    PyObject *text = PyString_FromString(format);
#endif
    if (text == NULL)
        return NULL;
    PyObject *message = PyNumber_Remainder(text, args);
    Py_DECREF(text);
    return message;
}

// Whether a number type converts to an integer by __index__ (which float()
// takes too from 3.8 on).
inline bool compatHasIndex(PyNumberMethods *number)
{
#if PY_VERSION_HEX >= 0x03080000
    return number->nb_index != NULL;
#else
    (void)number;
    return false;
#endif
}

// A number that a delay may be (an int or a float of any kind; bool is not).
inline bool compatIsIntOrFloat(PyObject *value)
{
    if (PyBool_Check(value))
        return false;
#if PY_MAJOR_VERSION < 3
    if (PyInt_Check(value))
        return true;
#endif
    return PyFloat_Check(value) || PyLong_Check(value);
}

// The exception that code raised while it handled another: Python 3 records
// the other as its __context__, as an except block would.
inline void compatSetContext(PyObject *raised, PyObject *handled)
{
#if PY_MAJOR_VERSION >= 3
    if (raised != NULL && handled != NULL && raised != handled) {
        Py_INCREF(handled);
        PyException_SetContext(raised, handled);
    }
#else
    (void)raised;
    (void)handled;
#endif
}

// An exception as an except block sees it: normalised, with its traceback.
inline void compatFetchNormalized(PyObject **type, PyObject **value, PyObject **traceback)
{
    PyErr_Fetch(type, value, traceback);
    PyErr_NormalizeException(type, value, traceback);
#if PY_MAJOR_VERSION >= 3
    if (*value != NULL && *traceback != NULL)
        PyException_SetTraceback(*value, *traceback);
#endif
}

// Exact ints (int or long on Python 2) and their value as a C long; false
// for anything else and for values beyond a long.
inline bool compatExactIntValue(PyObject *object, long *out)
{
#if PY_MAJOR_VERSION < 3
    if (PyInt_CheckExact(object)) {
        *out = PyInt_AS_LONG(object);
        return true;
    }
#endif
    if (!PyLong_CheckExact(object))
        return false;
    int overflow = 0;
    *out = PyLong_AsLongAndOverflow(object, &overflow);
    if (overflow != 0 || (*out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

#if PY_MAJOR_VERSION >= 3

#define VORM_MODINIT_FUNC VORM_EXPORT PyObject *PyInit_ext(void)
#define VORM_MODINIT_NAMED(name) VORM_EXPORT PyObject *PyInit_##name(void)
#define VORM_MODINIT_RETURN(module) return (module)

inline PyObject *compatModuleCreate(const char *name, PyMethodDef *functions, const char *doc)
{
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, NULL, NULL, -1, NULL, NULL, NULL, NULL, NULL,
    };
    definition.m_name = name;
    definition.m_doc = doc;
    definition.m_methods = functions;
    return PyModule_Create(&definition);
}

// The module object from compatModuleCreate is owned on Python 3.
inline void compatModuleFailed(PyObject *module) { Py_DECREF(module); }

inline PyObject *compatStringFromString(const char *text) { return PyUnicode_FromString(text); }
inline PyObject *compatMethodName(const char *text) { return PyUnicode_InternFromString(text); }
inline PyObject *compatStringFromSize(const char *text, Py_ssize_t size)
{
    return PyUnicode_FromStringAndSize(text, size);
}
// UTF-8 text of a str that PyObject_Repr returned.
inline const char *compatText(PyObject *str, Py_ssize_t *size) { return PyUnicode_AsUTF8AndSize(str, size); }

inline PyObject *compatIntFromLong(long value) { return PyLong_FromLong(value); }

// A "plain int": an int (subclasses and bool included) whose value fits a C long.
inline bool compatPlainIntValue(PyObject *value, double *out)
{
    if (!PyLong_Check(value))
        return false;
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0)
        return false;
    if (number == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *out = static_cast<double>(number);
    return true;
}

// What PyArg_ParseTuple's "d" makes of an exact float or an exact int, the two
// kinds whose conversion no Python code can override. false (with no error
// set) for anything else, and for an int too large for a double: the caller
// then lets the parser convert the value or raise its own error.
inline bool compatExactDouble(PyObject *value, double *out)
{
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    return compatExactLongAsDouble(value, out);
}

// The same for "i": an exact int within the range of a C int.
inline bool compatExactInt(PyObject *value, int *out)
{
    if (!PyLong_CheckExact(value))
        return false;
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0 || number < INT_MIN || number > INT_MAX)
        return false;
    if (number == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *out = static_cast<int>(number);
    return true;
}

// The interpreter's own string and integer types, whose comparisons and
// conversions no Python code can override.
inline bool compatIsExactString(PyObject *value) { return PyUnicode_CheckExact(value); }
inline bool compatIsExactInteger(PyObject *value) { return PyLong_CheckExact(value); }

// Name look-ups: 1 match, 0 no match, -1 the comparison raised.
inline int compatNamesMatch(PyObject *name, PyObject *key) { return PyObject_RichCompareBool(name, key, Py_EQ); }

// Generic priority queue keys: 1 when x is greater than y, 0 when not, -1 on error.
inline int compatKeyGreater(PyObject *x, PyObject *y)
{
    if (PyFloat_CheckExact(x) && PyFloat_CheckExact(y))
        return PyFloat_AS_DOUBLE(x) > PyFloat_AS_DOUBLE(y);
    return PyObject_RichCompareBool(x, y, Py_GT);
}

// Request identifiers are ints handed out by the module; nearly all fit a long.
inline bool compatIdGreater(PyObject *x, PyObject *y)
{
    int overflowX = 0, overflowY = 0;
    long a = PyLong_AsLongAndOverflow(x, &overflowX);
    long b = PyLong_AsLongAndOverflow(y, &overflowY);
    if (overflowX == 0 && overflowY == 0)
        return a > b;
    int result = PyObject_RichCompareBool(x, y, Py_GT);
    if (result < 0) {
        PyErr_Clear();
        return false;
    }
    return result == 1;
}

// Path argument of loadLibrary: str, bytes or os.PathLike. On success *holder
// owns the encoded path and the returned pointer lives as long as it.
inline const char *compatParsePath(PyObject *args, PyObject **holder)
{
    *holder = NULL;
    if (!PyArg_ParseTuple(args, "O&", PyUnicode_FSConverter, holder))
        return NULL;
    return PyBytes_AS_STRING(*holder);
}

inline void *compatRawMalloc(size_t size) { return PyMem_RawMalloc(size); }
inline void compatRawFree(void *block) { PyMem_RawFree(block); }

#if PY_VERSION_HEX >= 0x03080000
#define VORM_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#define VORM_TRASHCAN_END(op) Py_TRASHCAN_END
#else
#define VORM_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#define VORM_TRASHCAN_END(op) Py_TRASHCAN_SAFE_END(op)
#endif

#else // Python 2

#define VORM_MODINIT_FUNC VORM_EXPORT void initext(void)
#define VORM_MODINIT_NAMED(name) VORM_EXPORT void init##name(void)
#define VORM_MODINIT_RETURN(module)                                                                                    \
    do {                                                                                                               \
        (void)(module);                                                                                                \
        return;                                                                                                        \
    } while (0)

inline PyObject *compatModuleCreate(const char *name, PyMethodDef *functions, const char *doc)
{
    return Py_InitModule4_64(name, functions, doc, NULL, 1013);
}

// Py_InitModule4_64 returns a borrowed module that sys.modules owns.
inline void compatModuleFailed(PyObject *) {}

inline PyObject *compatStringFromString(const char *text) { return PyString_FromString(text); }
inline PyObject *compatMethodName(const char *text) { return PyString_FromString(text); }
inline PyObject *compatStringFromSize(const char *text, Py_ssize_t size)
{
    return PyString_FromStringAndSize(text, size);
}
inline const char *compatText(PyObject *str, Py_ssize_t *size)
{
    char *text = NULL;
    if (PyString_AsStringAndSize(str, &text, size) < 0)
        return NULL;
    return text;
}

inline PyObject *compatIntFromLong(long value) { return PyInt_FromLong(value); }

inline bool compatPlainIntValue(PyObject *value, double *out)
{
    if (!PyInt_Check(value))
        return false;
    *out = static_cast<double>(PyInt_AS_LONG(value));
    return true;
}

inline bool compatExactDouble(PyObject *value, double *out)
{
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyInt_CheckExact(value)) {
        *out = static_cast<double>(PyInt_AS_LONG(value));
        return true;
    }
    return compatExactLongAsDouble(value, out);
}

// Python 2 longs take the parser's path, which accepts them too.
inline bool compatExactInt(PyObject *value, int *out)
{
    if (!PyInt_CheckExact(value))
        return false;
    long number = PyInt_AS_LONG(value);
    if (number < INT_MIN || number > INT_MAX)
        return false;
    *out = static_cast<int>(number);
    return true;
}

inline bool compatIsExactString(PyObject *value) { return PyString_CheckExact(value); }
inline bool compatIsExactInteger(PyObject *value) { return PyInt_CheckExact(value) || PyLong_CheckExact(value); }

// PyObject_Compare reports a failed comparison only through the error indicator.
inline int compatNamesMatch(PyObject *name, PyObject *key)
{
    int order = PyObject_Compare(name, key);
    if (PyErr_Occurred())
        return -1;
    return order == 0;
}

inline int compatKeyGreater(PyObject *x, PyObject *y)
{
    if (PyFloat_CheckExact(x) && PyFloat_CheckExact(y)) {
        double a = PyFloat_AS_DOUBLE(x), b = PyFloat_AS_DOUBLE(y);
        if (a == a && b == b) // NaN keys take the interpreter's own path
            return a > b;
    }
    int order = PyObject_Compare(x, y);
    if (PyErr_Occurred())
        return -1;
    return order > 0;
}

inline bool compatIdGreater(PyObject *x, PyObject *y)
{
    if (PyInt_CheckExact(x) && PyInt_CheckExact(y))
        return PyInt_AS_LONG(x) > PyInt_AS_LONG(y);
    int order = PyObject_Compare(x, y);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return order > 0;
}

inline const char *compatParsePath(PyObject *args, PyObject **holder)
{
    const char *path = NULL;
    *holder = NULL;
    if (!PyArg_ParseTuple(args, "s", &path))
        return NULL;
    return path;
}

inline void *compatRawMalloc(size_t size) { return std::malloc(size ? size : 1); }
inline void compatRawFree(void *block) { std::free(block); }

#define VORM_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#define VORM_TRASHCAN_END(op) Py_TRASHCAN_SAFE_END(op)

#endif

// CompatArgs: the arguments of a distribution function, and
// compatArgsEntry, its entry in the module's function table (flags
// VORM_ARGS_FLAGS). What Python can observe (results, exceptions and their
// messages) is the same in every build; only the calling convention differs.
#if PY_VERSION_HEX >= 0x03070000

// From 3.7 on the arguments arrive as the caller's own array (METH_FASTCALL),
// so a call builds no argument tuple. Keyword names come along because
// METH_FASTCALL alone would refuse keywords with a message of its own.
class CompatArgs {
public:
    CompatArgs(PyObject *const *items, Py_ssize_t count, PyObject *kwnames)
        : items_(items), count_(count), kwnames_(kwnames)
    {
    }

    // Exactly count positional arguments and no keyword.
    bool are(Py_ssize_t count) const { return count_ == count && kwnames_ == NULL; }
    PyObject *operator[](Py_ssize_t index) const { return items_[index]; }

    // Exactly what a METH_VARARGS function called name would do with these
    // arguments and PyArg_ParseTuple(args, format, ...): keywords are refused
    // with the interpreter's message for such a function, everything else
    // goes to the parser on a tuple of the same arguments.
    bool parse(const char *name, const char *format, ...) const
    {
        if (kwnames_ != NULL && PyTuple_GET_SIZE(kwnames_) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
            return false;
        }
        PyObject *args = PyTuple_New(count_);
        if (args == NULL)
            return false;
        for (Py_ssize_t i = 0; i < count_; ++i) {
            Py_INCREF(items_[i]);
            PyTuple_SET_ITEM(args, i, items_[i]);
        }
        va_list values;
        va_start(values, format);
        int parsed = PyArg_VaParse(args, format, values);
        va_end(values);
        Py_DECREF(args);
        return parsed != 0;
    }

private:
    PyObject *const *items_;
    Py_ssize_t count_;
    PyObject *kwnames_;
};

#define VORM_ARGS_FLAGS (METH_FASTCALL | METH_KEYWORDS)
typedef PyObject *(*CompatArgsFunction)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// The module-table entry of a distribution function written as Body(args).
template <PyObject *(*Body)(const CompatArgs &)>
PyObject *compatArgsEntry(PyObject *, PyObject *const *items, Py_ssize_t count, PyObject *kwnames)
{
    return Body(CompatArgs(items, count, kwnames));
}

#else

// Before 3.7 (METH_FASTCALL of 3.6 has another signature) they take an
// argument tuple (METH_VARARGS), and the interpreter refuses keywords.
class CompatArgs {
public:
    explicit CompatArgs(PyObject *args) : args_(args) {}

    bool are(Py_ssize_t count) const { return PyTuple_GET_SIZE(args_) == count; }
    PyObject *operator[](Py_ssize_t index) const { return PyTuple_GET_ITEM(args_, index); }

    bool parse(const char *, const char *format, ...) const
    {
        va_list values;
        va_start(values, format);
        int parsed = PyArg_VaParse(args_, format, values);
        va_end(values);
        return parsed != 0;
    }

private:
    PyObject *args_;
};

#define VORM_ARGS_FLAGS METH_VARARGS
typedef PyObject *(*CompatArgsFunction)(PyObject *, PyObject *);

template <PyObject *(*Body)(const CompatArgs &)>
PyObject *compatArgsEntry(PyObject *, PyObject *args)
{
    return Body(CompatArgs(args));
}

#endif

// CompatKeywordArgs: the arguments of a method or function that takes
// positional and keyword arguments, and VORM_KEYWORDS_FLAGS with
// compatKeywordsEntry, its table entry. unpack fills one slot per parameter
// (NULL when not given) and raises the interpreter's usual TypeErrors.
#if PY_VERSION_HEX >= 0x03070000

// From 3.7 on the arguments arrive as the caller's array (METH_FASTCALL):
// the commands' hot calls (start, seize, release) build no tuple or dict.
class CompatKeywordArgs {
public:
    CompatKeywordArgs(PyObject *const *items, Py_ssize_t count, PyObject *kwnames)
        : items_(items), count_(count), kwnames_(kwnames)
    {
    }

    bool unpack(const char *function, const char *const *parameters, int required, PyObject **slots) const
    {
        int known = 0;
        while (parameters[known] != NULL)
            slots[known++] = NULL;
        if (count_ > known) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d argument%s (%zd given)", function, known,
                         known == 1 ? "" : "s", count_);
            return false;
        }
        for (Py_ssize_t i = 0; i < count_; ++i)
            slots[i] = items_[i];
        Py_ssize_t keywords = kwnames_ != NULL ? PyTuple_GET_SIZE(kwnames_) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject *name = PyTuple_GET_ITEM(kwnames_, k);
            int found = -1;
            for (int i = 0; i < known && found < 0; ++i)
                if (PyUnicode_CompareWithASCIIString(name, parameters[i]) == 0)
                    found = i;
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", function, name);
                return false;
            }
            if (slots[found] != NULL) {
                PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%s'", function,
                             parameters[found]);
                return false;
            }
            slots[found] = items_[count_ + k];
        }
        for (int i = 0; i < required; ++i)
            if (slots[i] == NULL) {
                PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", function,
                             parameters[i], i + 1);
                return false;
            }
        return true;
    }

private:
    PyObject *const *items_;
    Py_ssize_t count_;
    PyObject *kwnames_;
};

#define VORM_KEYWORDS_FLAGS (METH_FASTCALL | METH_KEYWORDS)

template <PyObject *(*Body)(PyObject *, const CompatKeywordArgs &)>
PyObject *compatKeywordsEntry(PyObject *self, PyObject *const *items, Py_ssize_t count, PyObject *kwnames)
{
    return Body(self, CompatKeywordArgs(items, count, kwnames));
}

// A function of any number of positional arguments, given to its body as
// a tuple: built here from the caller's array, which costs less than the
// call of the tuple convention.
#define VORM_VARARGS_FLAGS METH_FASTCALL

template <PyObject *(*Body)(PyObject *, PyObject *)>
PyObject *compatVarArgsEntry(PyObject *self, PyObject *const *items, Py_ssize_t count)
{
    PyObject *args = PyTuple_New(count);
    if (args == NULL)
        return NULL;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(args, i, items[i]);
    }
    PyObject *result = Body(self, args);
    Py_DECREF(args);
    return result;
}

#else

// Before 3.7 they come as a tuple and a dict, which the interpreter's parser
// reads.
class CompatKeywordArgs {
public:
    CompatKeywordArgs(PyObject *args, PyObject *kwds) : args_(args), kwds_(kwds) {}

    bool unpack(const char *function, const char *const *parameters, int required, PyObject **slots) const
    {
        char format[64];
        int known = 0, at = 0;
        while (parameters[known] != NULL)
            slots[known++] = NULL;
        for (int i = 0; i < known && at < 40; ++i) {
            if (i == required)
                format[at++] = '|';
            format[at++] = 'O';
        }
        std::snprintf(format + at, sizeof format - at, ":%.20s", function);
        static const int most = 8;
        PyObject **s = slots;
        char *keywords[most + 1] = {NULL};
        for (int i = 0; i < known && i < most; ++i)
            keywords[i] = const_cast<char *>(parameters[i]);
        return PyArg_ParseTupleAndKeywords(args_, kwds_, format, keywords, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5],
                                           &s[6], &s[7]) != 0;
    }

private:
    PyObject *args_;
    PyObject *kwds_;
};

#define VORM_KEYWORDS_FLAGS (METH_VARARGS | METH_KEYWORDS)

template <PyObject *(*Body)(PyObject *, const CompatKeywordArgs &)>
PyObject *compatKeywordsEntry(PyObject *self, PyObject *args, PyObject *kwds)
{
    return Body(self, CompatKeywordArgs(args, kwds));
}

#define VORM_VARARGS_FLAGS METH_VARARGS

template <PyObject *(*Body)(PyObject *, PyObject *)>
PyObject *compatVarArgsEntry(PyObject *self, PyObject *args)
{
    return Body(self, args);
}

#endif

#endif
