// The common entry path: exceptions become RuntimeError, null results become None.

#include "native/EntryPath.h"

#include <exception>
#include <new>
#include <stdexcept>

namespace quillane
{
namespace native
{

PyObject* sCallCatching(Implementation iImplementation, PyObject* iModule, PyObject* iArgs)
{
    try
    {
        if (PyObject* result = iImplementation(iModule, iArgs))
            return result;
        return py::sNewNone();
    }
    catch (const PythonError&)
    {
        // The interpreter's own error is set and stands.
    }
    catch (const std::bad_alloc&)
    {
        // The text callers know for an allocation that cannot be had, whatever the C++
        // runtime's own text for it is.
        py::sSetRuntimeError("bad allocation");
    }
    catch (const std::exception& ex)
    {
        py::sSetRuntimeError(ex.what());
    }
    catch (...)
    {
        py::sSetRuntimeError("Unknown C++ exception");
    }
    return nullptr;
}

std::optional<std::string> sAsOptionalString(PyObject* iObject)
{
    if (!py::sIsString(iObject))
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(py::sStringData(iObject)),
                       py::sStringSize(iObject));
}

void sRequireParsed(int iParsedOK)
{
    if (!iParsedOK)
    {
        PyErr_Clear();
        throw std::runtime_error("Couldn't interpret parameters");
    }
}

} // namespace native
} // namespace quillane
