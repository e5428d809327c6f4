// The Python functions of elevation and firewall control: argument checks in argument order,
// then the work, done by the interpreter-free system room (system/Elevation.h, system/Firewall.h
// and the platform's administrator check).

#include "native/SystemFunctions.h"

#include "native/EntryPath.h"

#include "system/Elevation.h"
#include "system/Firewall.h"
#include "system/platform/Platform_Elevation.h"

#include <stdexcept>

namespace quillane
{
namespace native
{

namespace
{

// The bytes of a string argument; throws iNotString when it is not a string.
std::string spString(PyObject* iObject, const char* iNotString)
{
    std::optional<std::string> result = sAsOptionalString(iObject);
    if (!result)
        throw std::runtime_error(iNotString);
    return std::move(*result);
}

void spUnpack(PyObject* iArgs, Py_ssize_t iCount, PyObject** oObjects)
{
    sRequireParsed(py::sUnpackObjects(iArgs, iCount, oObjects));
}

PyObject* spTruth(bool iValue)
{
    return py::sNewInt(iValue ? 1 : 0);
}

} // namespace

PyObject* sRunElevated(PyObject*, PyObject* iArgs)
{
    PyObject* args[2];
    spUnpack(iArgs, 2, args);
    const std::string exePath = spString(args[0], "exe_path (param 0) is not a string");
    const std::string cmdLine = spString(args[1], "cmd_line (param 1) is not a string");
    system::sRunProgramElevated(exePath, cmdLine);
    return nullptr;
}

PyObject* sIsElevated(PyObject*, PyObject*)
{
    return spTruth(system::Platform::sElevation_IsAdministrator());
}

PyObject* sFirewall_IsEnabled(PyObject*, PyObject*)
{
    return spTruth(system::sIsFirewallEnabled(*system::Platform::sFirewall_Connect()));
}

PyObject* sFirewall_OpenFor(PyObject*, PyObject* iArgs)
{
    PyObject* args[2];
    spUnpack(iArgs, 2, args);
    const std::string exePath = spString(args[0], "exe_path (param 0) is not a string");
    const std::string name = spString(args[1], "name (param 1) is not a string");
    return spTruth(system::sOpenFirewallFor(*system::Platform::sFirewall_Connect(), exePath, name));
}

PyObject* sFirewall_IsOpenFor(PyObject*, PyObject* iArgs)
{
    PyObject* args[1];
    spUnpack(iArgs, 1, args);
    const std::string exePath = spString(args[0], "Require a string for exe path");
    return spTruth(system::sIsFirewallOpenFor(*system::Platform::sFirewall_Connect(), exePath));
}

} // namespace native
} // namespace quillane
