// The uTP stream functions of the module: open a stream over the application's UDP socket
// (connecting or accepting), read, write, close, and the accepted-and-ignored time-out.
//
// A stream is named by a handle: a small positive int from a table of live streams, valid from
// the UTP_Make that returned it to the UTP_Close that is given it. 0 stands for no stream; any
// other number that names no live stream raises RuntimeError "invalid stream handle".
//
// Each function releases the interpreter lock while it works in the stream layer (which may block
// for long) and holds it only while it converts arguments and builds its result.

#ifndef QUILLANE_NATIVE_STREAMS_H
#define QUILLANE_NATIVE_STREAMS_H

#include "native/Interpreter.h"

namespace quillane
{
namespace native
{

PyObject* sUTP_Make(PyObject* iModule, PyObject* iArgs);
PyObject* sUTP_Close(PyObject* iModule, PyObject* iArgs);
PyObject* sUTP_Read(PyObject* iModule, PyObject* iArgs);
PyObject* sUTP_Write(PyObject* iModule, PyObject* iArgs);
PyObject* sUTP_SetTimeout(PyObject* iModule, PyObject* iArgs);

} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_STREAMS_H
