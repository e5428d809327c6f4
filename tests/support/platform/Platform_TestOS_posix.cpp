// The tests' platform layer, operating-system facility, POSIX: the descriptor calls themselves.

#include "tests/support/platform/Platform_TestOS.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace quillane::test::Platform
{

void sTestOS_PrepareProcess() {}

bool sTestOS_RunningUnderWine()
{
    return false;
}

bool sTestOS_Pipe(int oFDs[2])
{
    return ::pipe(oFDs) == 0;
}

FILE* sTestOS_FDOpen(int iFD, const char* iMode)
{
    return ::fdopen(iFD, iMode);
}

bool sTestOS_IsOpen(int iFD)
{
    return ::fcntl(iFD, F_GETFD) != -1 || errno != EBADF;
}

long sTestOS_Read(int iFD, void* oDest, size_t iCount)
{
    return long(::read(iFD, oDest, iCount));
}

void sTestOS_Close(int iFD)
{
    ::close(iFD);
}

} // namespace quillane::test::Platform
