// The tests' platform layer, operating-system facility, Win32: the C runtime's descriptor calls.
// Pipes are binary, so bytes pass unchanged.

#include "tests/support/platform/Platform_TestOS.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace quillane::test::Platform
{

namespace
{

// The C runtime reports a bad descriptor to its invalid-parameter handler, which by default
// ends the process; while this lives, such a call only fails.
class QuietInvalidParameters
{
  public:
    QuietInvalidParameters() : fPrior(_set_invalid_parameter_handler(spIgnore)) {}
    ~QuietInvalidParameters() { _set_invalid_parameter_handler(fPrior); }

  private:
    static void __cdecl spIgnore(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                 uintptr_t)
    {
    }

    const _invalid_parameter_handler fPrior;
};

} // namespace

void sTestOS_PrepareProcess()
{
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

bool sTestOS_RunningUnderWine()
{
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

bool sTestOS_Pipe(int oFDs[2])
{
    return ::_pipe(oFDs, 4096, _O_BINARY) == 0;
}

FILE* sTestOS_FDOpen(int iFD, const char* iMode)
{
    return ::_fdopen(iFD, iMode);
}

bool sTestOS_IsOpen(int iFD)
{
    const QuietInvalidParameters quiet;
    return ::_get_osfhandle(iFD) != -1;
}

long sTestOS_Read(int iFD, void* oDest, size_t iCount)
{
    return long(::_read(iFD, oDest, unsigned(iCount < INT_MAX ? iCount : INT_MAX)));
}

void sTestOS_Close(int iFD)
{
    const QuietInvalidParameters quiet;
    ::_close(iFD);
}

} // namespace quillane::test::Platform
