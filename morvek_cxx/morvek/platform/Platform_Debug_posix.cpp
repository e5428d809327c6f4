// Platform layer, diagnostics facility, POSIX: the debugger is detected through the tracer that
// /proc reports, text goes to standard error with plain write(2) calls (no stdio lock is taken on
// the fatal path), and the process ends with _exit.

#include "morvek/platform/Platform_Debug.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace Morvek
{
namespace Platform
{

namespace
{

// Writes all of iText to the file descriptor, retrying after interruptions.
void spWriteAll(int iFD, const char* iText, size_t iLength)
{
    while (iLength > 0)
    {
        const ssize_t written = ::write(iFD, iText, iLength);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        iText += written;
        iLength -= written;
    }
}

void spWriteLine(int iFD, const char* iText)
{
    spWriteAll(iFD, iText, std::strlen(iText));
    spWriteAll(iFD, "\n", 1);
}

} // anonymous namespace

bool sDebugger_IsAttached()
{
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    size_t length = 0;
    while (length < sizeof(buffer) - 1)
    {
        const ssize_t got = ::read(fd, buffer + length, sizeof(buffer) - 1 - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += got;
    }
    ::close(fd);
    buffer[length] = 0;

    const char* field = std::strstr(buffer, "TracerPid:");
    if (!field)
        return false;
    return std::strtol(field + std::strlen("TracerPid:"), nullptr, 10) != 0;
}

void sDebugger_Output(const char* iText)
{
    spWriteLine(STDERR_FILENO, iText);
}

void sDebugger_Break()
{
    std::raise(SIGTRAP);
}

void sFatal_ShowAndExit(const char* iTitle, const char* iText)
{
    spWriteLine(STDERR_FILENO, iTitle);
    spWriteLine(STDERR_FILENO, iText);
    ::_exit(EXIT_FAILURE);
}

} // namespace Platform
} // namespace Morvek
