// Platform layer, name-lookup facility: the socket layer's process-wide start-up, the dotted
// IPv4 address parser and the IPv4 resolver. Implemented in
// Platform_Net_<platform>.cpp, which the build picks. The parser and the resolver are safe to
// call from any thread; addresses are in host byte order.

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
// before the parser or the resolver is used; never undone.
void sNet_Startup();

// The system's dotted-address parser: true and the address when it accepts iText, false when
// it does not (which includes "255.255.255.255", the parser's failure value).
bool sNet_ParseDottedIP4(const char* iText, uint32_t& oAddress);

// Appends at most iMaxCount IPv4 addresses of the host iName, in the resolver's order; appends
// nothing when it cannot be resolved. Blocks for as long as the resolver takes.
void sNet_ResolveIP4(const char* iName, size_t iMaxCount, std::vector<uint32_t>& ioAddresses);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_NET_H
