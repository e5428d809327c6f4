// quillane_testhooks: test-only module whose functions block inside a ThreadStateReleaser.
//
//   hold_released(seconds)        sleeps with the interpreter lock given up
//   hold_released_throw(seconds)  the same, then throws from inside the releaser; the lock must
//                                 be held again when the exception becomes RuntimeError
//   hold_released_acquire(seconds) sleeps, re-takes the lock with Acquire, builds its result
//                                 while the releaser still lives; returns 42
//   hold_gil(seconds)             sleeps holding the lock (the control case)
//
// And, through the module's own entry path (sCallCatching), one way out of each kind:
//   throw_runtime_error(text)     a std::runtime_error carrying text
//   throw_bad_alloc()             an allocation failure
//   throw_other()                 an exception not derived from std::exception
//   return_nothing()              no result at all
//
// Entered on interpreter threads with the lock held, like every module function.

#include "EntryPath.h"
#include "Interpreter.h"

#include "morvek/ZUtil_Python.h"

#include <new>
#include <string>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace
{

using Morvek::ZUtil_Python::ThreadStateReleaser;

void spSleep(double iSeconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(iSeconds));
}

bool spSeconds(PyObject* iArgs, double& oSeconds)
{
    return PyArg_ParseTuple(iArgs, "d", &oSeconds) != 0;
}

PyObject* spHoldReleased(PyObject*, PyObject* iArgs)
{
    double seconds;
    if (!spSeconds(iArgs, seconds))
        return nullptr;
    {
        ThreadStateReleaser releaser;
        spSleep(seconds);
    }
    Py_RETURN_NONE;
}

PyObject* spHoldReleasedThrow(PyObject*, PyObject* iArgs)
{
    double seconds;
    if (!spSeconds(iArgs, seconds))
        return nullptr;
    try
    {
        ThreadStateReleaser releaser;
        spSleep(seconds);
        throw std::runtime_error("thrown inside the releaser");
    }
    catch (const std::exception& ex)
    {
        // Touches the interpreter: only sound because the releaser re-took the lock.
        PyErr_SetString(PyExc_RuntimeError, ex.what());
        return nullptr;
    }
}

PyObject* spHoldReleasedAcquire(PyObject*, PyObject* iArgs)
{
    double seconds;
    if (!spSeconds(iArgs, seconds))
        return nullptr;
    ThreadStateReleaser releaser;
    spSleep(seconds);
    releaser.Acquire();
    releaser.Acquire(); // a second Acquire must change nothing
    return Py_BuildValue("i", 42);
    // The releaser's destructor runs after the result is built and must leave the lock alone.
}

PyObject* spHoldGIL(PyObject*, PyObject* iArgs)
{
    double seconds;
    if (!spSeconds(iArgs, seconds))
        return nullptr;
    spSleep(seconds);
    Py_RETURN_NONE;
}

PyObject* spThrowRuntimeError(PyObject*, PyObject* iArgs)
{
    PyObject* text = nullptr;
    quillane::native::sRequireParsed(quillane::native::py::sUnpackObjects(iArgs, 1, &text));
    const auto bytes = quillane::native::sAsOptionalString(text);
    throw std::runtime_error(bytes ? *bytes : std::string("not a string"));
}

PyObject* spThrowBadAlloc(PyObject*, PyObject*)
{
    throw std::bad_alloc();
}

PyObject* spThrowOther(PyObject*, PyObject*)
{
    throw 42;
}

PyObject* spReturnNothing(PyObject*, PyObject*)
{
    return nullptr;
}

#define QN_HOOK(name, imp)                                                                         \
    {                                                                                              \
        name, quillane::native::sEntry<imp>, METH_VARARGS, nullptr                                 \
    }

PyMethodDef sMethods[] = {QN_HOOK("throw_runtime_error", spThrowRuntimeError),
                          QN_HOOK("throw_bad_alloc", spThrowBadAlloc),
                          QN_HOOK("throw_other", spThrowOther),
                          QN_HOOK("return_nothing", spReturnNothing),
                          {"hold_released", spHoldReleased, METH_VARARGS, nullptr},
                          {"hold_released_throw", spHoldReleasedThrow, METH_VARARGS, nullptr},
                          {"hold_released_acquire", spHoldReleasedAcquire, METH_VARARGS, nullptr},
                          {"hold_gil", spHoldGIL, METH_VARARGS, nullptr},
                          {nullptr, nullptr, 0, nullptr}};

} // namespace

#pragma GCC visibility push(default)
QN_MODULE_INIT(quillane_testhooks)
{
    QN_MODULE_RETURN(quillane::native::py::sRegisterModule("quillane_testhooks", sMethods));
}
#pragma GCC visibility pop
