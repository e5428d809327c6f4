// Platform layer, address facility, Win32 variant: the Windows Sockets 2 headers, without the
// rest of <windows.h> and its min and max macros. Included only through Platform_Address.h. The
// functions they declare live in ws2_32, which the platform leaf links for its users.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_WIN_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_WIN_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_WIN_H
