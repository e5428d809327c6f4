// Platform layer, elevation facility: the two things elevation needs of the operating system.
// Implemented in Platform_Elevation_<platform>.cpp, which the build picks. Both run on the
// calling thread and block it; neither throws on its own account (allocation failures aside).

#ifndef QUILLANE_SYSTEM_PLATFORM_PLATFORM_ELEVATION_H
#define QUILLANE_SYSTEM_PLATFORM_PLATFORM_ELEVATION_H

#include "morvek/ZStrim.h"

namespace quillane
{
namespace system
{
namespace Platform
{

// Whether the calling thread runs with administrator rights: on Windows, whether its effective
// token holds the built-in Administrators group as an enabled member; on POSIX systems, whether
// the effective user is root.
bool sElevation_IsAdministrator();

// Starts the program iFile with the parameter text iParameters under administrator rights, after
// the user's consent where the system asks for it, and waits without a time limit for it to
// end. Neither text holds a zero unit. When the program cannot be started (consent refused, no
// such program, no way to obtain the rights) nothing starts and the call returns at once; the
// caller learns nothing of the outcome or of the program's exit status.
void sElevation_LaunchAndWait(const Morvek::string16& iFile, const Morvek::string16& iParameters);

} // namespace Platform
} // namespace system
} // namespace quillane

#endif // QUILLANE_SYSTEM_PLATFORM_PLATFORM_ELEVATION_H
