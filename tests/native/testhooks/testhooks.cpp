// quillane_testhooks: a test-only module. hold_released(seconds, how), entered through the
// module's own entry path (sEntry), sleeps inside a ThreadStateReleaser (the interpreter lock
// given up) and leaves it by way `how`: 0 returns None; 1 throws a std::runtime_error; 2 re-takes
// the lock with Acquire, twice, and builds its result (42) while the releaser still lives; 3
// throws something that is no std::exception. Every way out must reach Python with the lock
// held exactly once.

#include "native/EntryPath.h"
#include "native/Interpreter.h"
#include "native/ThreadStateReleaser.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace
{

using namespace quillane::native;

PyObject* spHoldReleased(PyObject*, PyObject* iArgs)
{
    double seconds;
    int how;
    sRequireParsed(PyArg_ParseTuple(iArgs, "di", &seconds, &how));
    ThreadStateReleaser releaser;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (how == 1)
        throw std::runtime_error("thrown inside the releaser");
    if (how == 3)
        throw 42;
    if (how != 2)
        return nullptr;
    releaser.Acquire();
    releaser.Acquire();
    return py::sNewInt(42);
}

PyMethodDef sMethods[] = {{"hold_released", sEntry<spHoldReleased>, METH_VARARGS, nullptr},
                          {nullptr, nullptr, 0, nullptr}};

} // namespace

#pragma GCC visibility push(default)
QN_MODULE_INIT(quillane_testhooks)
{
    QN_MODULE_RETURN(quillane::native::py::sRegisterModule("quillane_testhooks", sMethods));
}
#pragma GCC visibility pop
