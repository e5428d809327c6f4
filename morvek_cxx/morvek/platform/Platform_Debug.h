// Platform layer, diagnostics facility: what the fatal-report path needs of the operating system
// (the log's clock is the clock facility's, Platform_Clock.h). Implemented in
// Platform_Debug_<platform>.cpp, which the build picks. Every function may be called from any
// thread.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_DEBUG_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_DEBUG_H

namespace Morvek
{
namespace Platform
{

// Whether a debugger is attached to the process; false when that cannot be told.
bool sDebugger_IsAttached();

// Hands a line of text to the attached debugger (or to wherever it can see it).
void sDebugger_Output(const char* iText);

// Stops in the attached debugger; returns if the debugger lets execution continue.
void sDebugger_Break();

// Shows iText to the user under iTitle and ends the process at once with a failure status,
// without running exit handlers or static destructors.
[[noreturn]] void sFatal_ShowAndExit(const char* iTitle, const char* iText);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_DEBUG_H
