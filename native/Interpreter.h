// Interpreter layer: the one place that knows whether the module is compiled for Python 2.7 or
// Python 3, and for Python 3 whether against the full interface (the Linux module) or against
// the stable ABI (Py_LIMITED_API, the Windows module, one file for every Python 3 from 3.7 on).
// Everything else in the module speaks to the interpreter through these helpers.
//
// The stable ABI hides the layouts of strings and tuples and has no PyUnicode_AsUTF8AndSize
// before 3.10: there the helpers reach them through the interpreter's functions.
//
// "A string" is the interpreter's byte-string type or a subclass of it: `str` in 2.7, `bytes`
// in 3. Text objects (2.7's `unicode`, 3's `str`) are not strings. Every helper here is called
// with the interpreter lock held. Helpers that allocate throw std::bad_alloc instead of
// returning null, so a failed allocation can never be mistaken for "no result".

#ifndef QUILLANE_NATIVE_INTERPRETER_H
#define QUILLANE_NATIVE_INTERPRETER_H

#define PY_SSIZE_T_CLEAN 1
#include <Python.h>

#include <cstddef>
#include <new>
#include <string>

namespace quillane
{
namespace native
{
namespace py
{

#if PY_MAJOR_VERSION >= 3
#define QN_PY3 1
#define QN_PY_STRING_FLAG Py_TPFLAGS_BYTES_SUBCLASS
#else
#define QN_PY3 0
#define QN_PY_STRING_FLAG Py_TPFLAGS_STRING_SUBCLASS
#endif

#if defined(Py_LIMITED_API)
#define QN_PY_LIMITED 1
#else
#define QN_PY_LIMITED 0
#endif

// Owns one reference; drops it unless released. Keeps partial results from leaking on throw.
class Ref
{
  public:
    explicit Ref(PyObject* iObject) : fObject(iObject) {}
    ~Ref() { Py_XDECREF(fObject); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    PyObject* Get() const { return fObject; }
    PyObject* Release()
    {
        PyObject* result = fObject;
        fObject = nullptr;
        return result;
    }

  private:
    PyObject* fObject;
};

// True for the byte-string type and its subclasses, tested by the type's subclass flag (read
// through PyType_GetFlags under the stable ABI).
inline bool sIsString(PyObject* iObject)
{
    return iObject && PyType_FastSubclass(Py_TYPE(iObject), QN_PY_STRING_FLAG);
}

// The object's own buffer and size; only valid for objects that pass sIsString.
inline const unsigned char* sStringData(PyObject* iString)
{
#if QN_PY_LIMITED
    return reinterpret_cast<const unsigned char*>(PyBytes_AsString(iString));
#elif QN_PY3
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(iString));
#else
    return reinterpret_cast<const unsigned char*>(PyString_AS_STRING(iString));
#endif
}

inline size_t sStringSize(PyObject* iString)
{
#if QN_PY_LIMITED
    return static_cast<size_t>(PyBytes_Size(iString));
#elif QN_PY3
    return static_cast<size_t>(PyBytes_GET_SIZE(iString));
#else
    return static_cast<size_t>(PyString_GET_SIZE(iString));
#endif
}

// Throws std::bad_alloc after clearing the interpreter's own error, if any.
[[noreturn]] inline void sThrowBadAlloc()
{
    PyErr_Clear();
    throw std::bad_alloc();
}

// A new byte string holding a copy of exactly iSize bytes from iData (zero bytes included).
inline PyObject* sNewString(const void* iData, size_t iSize)
{
    if (iSize > static_cast<size_t>(PY_SSIZE_T_MAX))
        sThrowBadAlloc();
#if QN_PY3
    PyObject* result =
        PyBytes_FromStringAndSize(static_cast<const char*>(iData), Py_ssize_t(iSize));
#else
    PyObject* result =
        PyString_FromStringAndSize(static_cast<const char*>(iData), Py_ssize_t(iSize));
#endif
    if (!result)
        sThrowBadAlloc();
    return result;
}

// A new byte string of iSize bytes whose contents the caller fills through oData before the
// string is handed to anyone. Avoids a copy when a result can be written in place.
inline PyObject* sNewStringToFill(size_t iSize, unsigned char*& oData)
{
    if (iSize > static_cast<size_t>(PY_SSIZE_T_MAX))
        sThrowBadAlloc();
#if QN_PY3
    PyObject* result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(iSize));
#else
    PyObject* result = PyString_FromStringAndSize(nullptr, Py_ssize_t(iSize));
#endif
    if (!result)
        sThrowBadAlloc();
    oData = const_cast<unsigned char*>(sStringData(result));
    return result;
}

// A new int (truth values are ints 1 and 0, never bools).
inline PyObject* sNewInt(int iValue)
{
    PyObject* result = Py_BuildValue("i", iValue);
    if (!result)
        sThrowBadAlloc();
    return result;
}

// A new int holding iValue (a count that may exceed a C int).
inline PyObject* sNewSize(size_t iValue)
{
#if QN_PY3
    PyObject* result = PyLong_FromSize_t(iValue);
#else
    PyObject* result = PyInt_FromSize_t(iValue);
#endif
    if (!result)
        sThrowBadAlloc();
    return result;
}

// What sTextAsUTF8 found.
enum TextResult
{
    eText_NotText = 0,     // not a text object
    eText_Converted = 1,   // oUTF8 holds the text's UTF-8 bytes
    eText_Unencodable = -1 // a text that has no UTF-8 form (lone surrogates); no error is left set
};

// Reads a text argument where one is accepted alongside byte strings: a text object (3's `str`,
// 2.7's `unicode`, or a subclass) gives its UTF-8 bytes.
inline TextResult sTextAsUTF8(PyObject* iObject, std::string& oUTF8)
{
    if (!iObject || !PyUnicode_Check(iObject))
        return eText_NotText;
#if QN_PY3 && !QN_PY_LIMITED
    // The text's own cached UTF-8 form: no copy.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(iObject, &size);
#else
    // A new byte string. 2.7 encodes a lone surrogate like any other code point, so this fails
    // only for memory there; Python 3 refuses one.
    Ref encoded(PyUnicode_AsUTF8String(iObject));
    const size_t size = encoded.Get() ? sStringSize(encoded.Get()) : 0;
    const char* data =
        encoded.Get() ? reinterpret_cast<const char*>(sStringData(encoded.Get())) : nullptr;
#endif
    if (!data)
    {
        if (PyErr_ExceptionMatches(PyExc_MemoryError))
            sThrowBadAlloc();
        PyErr_Clear();
        return eText_Unencodable;
    }
    oUTF8.assign(data, size_t(size));
    return eText_Converted;
}

inline bool sIsNone(PyObject* iObject)
{
    return iObject == Py_None;
}

// Runs the handlers of the signals that arrived (on the main thread; elsewhere nothing happens).
// True when one raised an exception, which is then the pending error.
inline bool sRunSignalHandlers()
{
    return PyErr_CheckSignals() != 0;
}

// A new 2-tuple taking over the caller's references to both objects, even when it fails.
inline PyObject* sNewPairStealing(PyObject* iFirst, PyObject* iSecond)
{
    PyObject* result = PyTuple_New(2);
    if (!result)
    {
        Py_DECREF(iFirst);
        Py_DECREF(iSecond);
        sThrowBadAlloc();
    }
#if QN_PY_LIMITED
    // Cannot fail: a new tuple, indices within it.
    PyTuple_SetItem(result, 0, iFirst);
    PyTuple_SetItem(result, 1, iSecond);
#else
    PyTuple_SET_ITEM(result, 0, iFirst);
    PyTuple_SET_ITEM(result, 1, iSecond);
#endif
    return result;
}

// Unpacks exactly iCount positional arguments as borrowed objects: the "O"-letters case of the
// argument parser without its format-string walk. False on any other count.
inline bool sUnpackObjects(PyObject* iArgs, Py_ssize_t iCount, PyObject** oObjects)
{
    if (!iArgs || !PyTuple_Check(iArgs))
        return false;
#if QN_PY_LIMITED
    if (PyTuple_Size(iArgs) != iCount)
        return false;
    for (Py_ssize_t x = 0; x < iCount; ++x)
        oObjects[x] = PyTuple_GetItem(iArgs, x);
#else
    if (PyTuple_GET_SIZE(iArgs) != iCount)
        return false;
    for (Py_ssize_t x = 0; x < iCount; ++x)
        oObjects[x] = PyTuple_GET_ITEM(iArgs, x);
#endif
    return true;
}

// Sets the pending exception RuntimeError with iMessage.
inline void sSetRuntimeError(const char* iMessage)
{
    PyErr_SetString(PyExc_RuntimeError, iMessage);
}

inline PyObject* sNewNone()
{
    Py_INCREF(Py_None);
    return Py_None;
}

} // namespace py
} // namespace native
} // namespace quillane

// QN_MODULE_INIT(name) opens the definition of the exported initialisation function of module
// `name` for this interpreter; QN_MODULE_RETURN hands it the result of sRegisterModule in the
// form that interpreter expects.
#if QN_PY3
#define QN_MODULE_INIT(name) PyMODINIT_FUNC PyInit_##name()
#define QN_MODULE_RETURN(module) return (module)
#else
#define QN_MODULE_INIT(name) PyMODINIT_FUNC init##name()
#define QN_MODULE_RETURN(module) (void)(module)
#endif

namespace quillane
{
namespace native
{
namespace py
{

// Registers the module iName with iMethods (no documentation, no self object). Call once per
// shared object. Returns the module object under Python 3 (null when registration failed, which
// the interpreter reports as a failed import by itself) and null under 2.7, whose registration
// returns nothing to the interpreter.
inline PyObject* sRegisterModule(const char* iName, PyMethodDef* iMethods)
{
#if QN_PY3
    static PyModuleDef sDef = {
        PyModuleDef_HEAD_INIT, iName, nullptr, -1, iMethods, nullptr, nullptr, nullptr, nullptr};
    return PyModule_Create(&sDef);
#else
    Py_InitModule4(iName, iMethods, nullptr, nullptr, 1013);
    return nullptr;
#endif
}

} // namespace py
} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_INTERPRETER_H
