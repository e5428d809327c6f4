// Platform layer, diagnostics facility, Win32: the debugger is asked for with IsDebuggerPresent
// and reached with OutputDebugString and DebugBreak; a fatal report is written to the standard
// error handle (plain WriteFile calls: no C runtime lock is taken on the fatal path), shown in a
// message box, and the process is terminated.

#include "morvek/platform/Platform_Debug.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Morvek
{
namespace Platform
{

namespace
{

// Writes all of iText to the handle; gives up on a failure (there is nobody to tell).
void spWriteAll(HANDLE iHandle, const char* iText, size_t iLength)
{
    while (iLength > 0)
    {
        DWORD written = 0;
        const DWORD chunk = iLength < 0x10000 ? DWORD(iLength) : DWORD(0x10000);
        if (!::WriteFile(iHandle, iText, chunk, &written, nullptr) || written == 0)
            return;
        iText += written;
        iLength -= written;
    }
}

void spWriteLine(HANDLE iHandle, const char* iText)
{
    spWriteAll(iHandle, iText, std::strlen(iText));
    spWriteAll(iHandle, "\n", 1);
}

// The title and text of a fatal report on standard error, when the process has one: a console
// program's user, and any log of its output, see the report even where no message box can be
// shown.
void spWriteToStandardError(const char* iTitle, const char* iText)
{
    const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    spWriteLine(handle, iTitle);
    spWriteLine(handle, iText);
}

} // anonymous namespace

bool sDebugger_IsAttached()
{
    return ::IsDebuggerPresent() != FALSE;
}

void sDebugger_Output(const char* iText)
{
    // One call per line, so that the line reaches the debugger whole; a text too long for the
    // buffer (a fatal report never is) goes in two calls.
    char line[4096 + 2];
    const int length = std::snprintf(line, sizeof(line), "%s\n", iText);
    if (length < 0 || size_t(length) >= sizeof(line))
    {
        ::OutputDebugStringA(iText);
        ::OutputDebugStringA("\n");
        return;
    }
    ::OutputDebugStringA(line);
}

void sDebugger_Break()
{
    ::DebugBreak();
}

void sFatal_ShowAndExit(const char* iTitle, const char* iText)
{
    spWriteToStandardError(iTitle, iText);
    // No owner window; error icon, system-modal, brought to the foreground. Returns at once
    // (with a failure) where no window can be shown, as in a service or without a display.
    ::MessageBoxA(nullptr, iText, iTitle, MB_ICONERROR | MB_SYSTEMMODAL | MB_SETFOREGROUND);
    // At once: no exit handlers, no static destructors, no notifications to the libraries.
    ::TerminateProcess(::GetCurrentProcess(), EXIT_FAILURE);
    // Not reached; TerminateProcess does not return for the calling process.
    ::ExitProcess(EXIT_FAILURE);
}

} // namespace Platform
} // namespace Morvek
