// The common entry path of every Python function of the module, and the optional-string reader.
//
// No C++ exception ever crosses into the interpreter: sCallCatching passes on an exception the
// interpreter already has (PythonError), turns any other std::exception into RuntimeError
// carrying its text, an allocation failure into RuntimeError "bad allocation", and
// anything else into RuntimeError "Unknown C++ exception". An implementation that returns null
// means None; implementations never signal errors by returning null.

#ifndef QUILLANE_NATIVE_ENTRYPATH_H
#define QUILLANE_NATIVE_ENTRYPATH_H

#include "native/Interpreter.h"

#include <exception>
#include <optional>
#include <string>

namespace quillane
{
namespace native
{

// Thrown (with the interpreter lock held again by the time it reaches sCallCatching) when the
// interpreter's own error is already set, for example by a signal handler that raised: the
// caller gets that exception as it is.
class PythonError : public std::exception
{
  public:
    const char* what() const noexcept override { return "Python exception"; }
};

// The signature of every implementation: module object and argument tuple, both borrowed; a
// new reference, or null for None.
typedef PyObject* (*Implementation)(PyObject* iModule, PyObject* iArgs);

PyObject* sCallCatching(Implementation iImplementation, PyObject* iModule, PyObject* iArgs);

// The entry function that the method table points at, one instantiation per implementation.
template <Implementation Imp> PyObject* sEntry(PyObject* iModule, PyObject* iArgs)
{
    return sCallCatching(Imp, iModule, iArgs);
}

// A copy of all the object's bytes when it is non-null and a string; absent otherwise.
std::optional<std::string> sAsOptionalString(PyObject* iObject);

// Throws std::runtime_error("Couldn't interpret parameters") when iParsedOK is false, replacing
// whatever error the argument parser set.
void sRequireParsed(int iParsedOK);

} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_ENTRYPATH_H
