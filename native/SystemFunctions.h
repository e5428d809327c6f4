// The Python functions of elevation and firewall control, over the system room (system/). Each
// takes the module object and the argument tuple (both borrowed) and returns a new reference, or
// null for None; failures are thrown and reach Python through the common entry path as
// RuntimeError. Truth values are the ints 1 and 0. All five keep the interpreter lock for their
// whole run.

#ifndef QUILLANE_NATIVE_SYSTEMFUNCTIONS_H
#define QUILLANE_NATIVE_SYSTEMFUNCTIONS_H

#include "native/Interpreter.h"

namespace quillane
{
namespace native
{

// RunElevated(exe_path, cmd_line) -> None: starts the program with administrator rights and
// waits for its end; None whether or not it could be started.
PyObject* sRunElevated(PyObject* iModule, PyObject* iArgs);

// IsElevated() -> 1 or 0. Arguments are ignored.
PyObject* sIsElevated(PyObject* iModule, PyObject* iArgs);

// Firewall_IsEnabled() -> 1 or 0. Arguments are ignored.
PyObject* sFirewall_IsEnabled(PyObject* iModule, PyObject* iArgs);

// Firewall_OpenFor(exe_path, name) -> 1 when the program is let through afterwards, else 0.
PyObject* sFirewall_OpenFor(PyObject* iModule, PyObject* iArgs);

// Firewall_IsOpenFor(exe_path) -> 1 or 0.
PyObject* sFirewall_IsOpenFor(PyObject* iModule, PyObject* iArgs);

} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_SYSTEMFUNCTIONS_H
