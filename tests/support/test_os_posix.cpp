// POSIX side of the tests' operating-system helpers: the descriptor calls themselves.

#include "tests/support/test_os.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace quillane::test
{

void sPrepareTestProcess() {}

bool sRunningUnderWine()
{
    return false;
}

bool sPipe(int oFDs[2])
{
    return ::pipe(oFDs) == 0;
}

FILE* sFDOpen(int iFD, const char* iMode)
{
    return ::fdopen(iFD, iMode);
}

bool sIsOpen(int iFD)
{
    return ::fcntl(iFD, F_GETFD) != -1 || errno != EBADF;
}

long sRead(int iFD, void* oDest, size_t iCount)
{
    return long(::read(iFD, oDest, iCount));
}

void sClose(int iFD)
{
    ::close(iFD);
}

} // namespace quillane::test
