// Gives up the Python interpreter lock for the duration of blocking work.
//
// Construct it on a thread that holds the interpreter lock, right after the Python arguments
// have been converted; do the blocking work without touching any Python object; call Acquire
// before any Python object is created or touched. The destructor re-takes the lock on every
// path that skipped Acquire, exceptions included, so the caller always leaves with the lock.

#ifndef QUILLANE_NATIVE_THREADSTATERELEASER_H
#define QUILLANE_NATIVE_THREADSTATERELEASER_H

#include "native/Interpreter.h"

namespace quillane
{
namespace native
{

class ThreadStateReleaser
{
  public:
    // Releases the interpreter lock (PyEval_SaveThread).
    ThreadStateReleaser();
    // Re-takes the lock unless Acquire already did.
    ~ThreadStateReleaser();
    ThreadStateReleaser(const ThreadStateReleaser&) = delete;
    ThreadStateReleaser& operator=(const ThreadStateReleaser&) = delete;

    // Re-takes the interpreter lock; at most once while it is given up.
    void Acquire();
    // Gives the lock up again after Acquire.
    void Release();

  private:
    PyThreadState* fState; // the saved thread state; null while this thread holds the lock
};

} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_THREADSTATERELEASER_H
