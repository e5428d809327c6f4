// Elevation: the texts go to the platform as UTF-16, the form of the system's wide-character
// interfaces, converted once here for every platform. Only texts that the conversion carries
// over unchanged get that far.

#include "system/Elevation.h"

#include "system/platform/Platform_Elevation.h"

namespace quillane
{
namespace system
{

using namespace Morvek;

namespace
{

// Valid UTF-8 without a zero byte: its UTF-16 form means what its bytes mean, all of them.
bool spIsPassable(const string8& iText)
{
    return iText.find('\0') == string8::npos && sIsValidUTF8(iText);
}

} // namespace

void sRunProgramElevated(const string8& iExePath, const string8& iCmdLine)
{
    if (spIsPassable(iExePath) && spIsPassable(iCmdLine))
        Platform::sElevation_LaunchAndWait(sUTF16FromUTF8(iExePath), sUTF16FromUTF8(iCmdLine));
}

} // namespace system
} // namespace quillane
