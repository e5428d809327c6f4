// quillane_testhooks: test-only module whose functions block inside a ThreadStateReleaser.
//
//   hold_released(seconds)        sleeps with the interpreter lock given up
//   hold_released_throw(seconds)  the same, then throws from inside the releaser; the lock must
//                                 be held again when the exception becomes RuntimeError
//   hold_released_acquire(seconds) sleeps, re-takes the lock with Acquire, builds its result
//                                 while the releaser still lives; returns 42
//   hold_gil(seconds)             sleeps holding the lock (the control case)
//
// Entered on interpreter threads with the lock held, like every module function.

#define PY_SSIZE_T_CLEAN 1
#include <Python.h>

#include "morvek/ZUtil_Python.h"

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

PyMethodDef sMethods[] = {{"hold_released", spHoldReleased, METH_VARARGS, nullptr},
                          {"hold_released_throw", spHoldReleasedThrow, METH_VARARGS, nullptr},
                          {"hold_released_acquire", spHoldReleasedAcquire, METH_VARARGS, nullptr},
                          {"hold_gil", spHoldGIL, METH_VARARGS, nullptr},
                          {nullptr, nullptr, 0, nullptr}};

} // namespace

#pragma GCC visibility push(default)
#if PY_MAJOR_VERSION >= 3
PyMODINIT_FUNC PyInit_quillane_testhooks()
{
    static PyModuleDef sDef = {PyModuleDef_HEAD_INIT,
                               "quillane_testhooks",
                               nullptr,
                               -1,
                               sMethods,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr};
    return PyModule_Create(&sDef);
}
#else
PyMODINIT_FUNC initquillane_testhooks()
{
    Py_InitModule4("quillane_testhooks", sMethods, nullptr, nullptr, PYTHON_API_VERSION);
}
#endif
#pragma GCC visibility pop
