// Elevation: the texts go to the platform as UTF-16, the form of the system's wide-character
// interfaces, converted once here for every platform.

#include "win/Elevation.h"

#include "win/Platform_Elevation.h"

namespace quillane
{
namespace native
{
namespace win
{

using namespace Morvek;

void sRunElevated(const string8& iExePath, const string8& iCmdLine)
{
    const string16 file = sUTF16FromUTF8(iExePath);
    const string16 parameters = sUTF16FromUTF8(iCmdLine);
    if (file.find(u'\0') != string16::npos || parameters.find(u'\0') != string16::npos)
        return;
    sLaunchElevatedAndWait(file, parameters);
}

} // namespace win
} // namespace native
} // namespace quillane
