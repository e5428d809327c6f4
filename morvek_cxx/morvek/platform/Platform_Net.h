// Platform layer, name-lookup facility: the socket layer's process-wide start-up and the IPv4
// resolver (the dotted-address parser is the address facility's, Platform_Address.h).
// Implemented in Platform_Net_<platform>.cpp, which the build picks. The resolver is safe to call
// from any thread; addresses are in host byte order.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_NET_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_NET_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Morvek
{
namespace Platform
{

// Starts the socket layer for the process. Called once, by sNet_Internet_Startup (ZNet_Internet.h),
// before the resolver is used; never undone.
void sNet_Startup();

// Appends at most iMaxCount IPv4 addresses of the host iName, in the resolver's order; appends
// nothing when it cannot be resolved. Blocks for as long as the resolver takes.
void sNet_ResolveIP4(const char* iName, size_t iMaxCount, std::vector<uint32_t>& ioAddresses);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_NET_H
