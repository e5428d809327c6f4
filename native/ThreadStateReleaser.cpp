// ThreadStateReleaser: the release and re-take of the interpreter lock around blocking work.
// Runs on the interpreter thread that constructed it; PyEval_SaveThread and PyEval_RestoreThread
// have the same form in Python 2.7 and 3.

#include "native/ThreadStateReleaser.h"

namespace quillane
{
namespace native
{

ThreadStateReleaser::ThreadStateReleaser() : fState(PyEval_SaveThread()) {}

ThreadStateReleaser::~ThreadStateReleaser()
{
    if (fState)
        PyEval_RestoreThread(fState);
}

void ThreadStateReleaser::Acquire()
{
    // A second Acquire would hand the interpreter a null state and end the process; the lock
    // is already held then, so there is nothing to do.
    if (!fState)
        return;
    PyEval_RestoreThread(fState);
    fState = nullptr;
}

void ThreadStateReleaser::Release()
{
    // Only after Acquire: giving up a lock this thread does not hold ends the process.
    if (fState)
        return;
    fState = PyEval_SaveThread();
}

} // namespace native
} // namespace quillane
