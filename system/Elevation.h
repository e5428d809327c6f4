// Elevation, written once over the platform's elevation facility (platform/Platform_Elevation.h):
// starting a program with administrator rights and waiting for its end.

#ifndef QUILLANE_SYSTEM_ELEVATION_H
#define QUILLANE_SYSTEM_ELEVATION_H

#include "morvek/ZStrim.h"

namespace quillane
{
namespace system
{

// Starts the program at iExePath (UTF-8) with the parameter text iCmdLine (UTF-8, one text,
// passed on unchanged) under administrator rights and waits for its end. Nothing starts when
// either text is not valid UTF-8 (sIsValidUTF8) or holds a zero byte: a lenient conversion
// would drop or reinterpret bytes after the caller's checks (an overlong '/' or '"' becomes
// the real one), and a zero byte would cut the text short for the system, so the program
// started, or its parameters, would not be the ones given. Reports nothing: the caller cannot
// tell whether the program ran.
void sRunProgramElevated(const Morvek::string8& iExePath, const Morvek::string8& iCmdLine);

} // namespace system
} // namespace quillane

#endif // QUILLANE_SYSTEM_ELEVATION_H
