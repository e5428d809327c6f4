// Platform layer, name-lookup facility: the socket layer's process-wide start-up and clean-up,
// the dotted IPv4 address parser and the IPv4 resolver. Implemented in
// ZPlatform_Net_<platform>.cpp, which the build picks. The parser and the resolver are safe to
// call from any thread; addresses are in host byte order.

#ifndef __Morvek_platform_ZPlatform_Net_h__
#define __Morvek_platform_ZPlatform_Net_h__ 1

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Morvek
{
namespace Platform
{

// Called once at static initialisation and once at static destruction.
void sNet_Startup();
void sNet_Cleanup();

// The system's dotted-address parser: true and the address when it accepts iText, false when
// it does not (which includes "255.255.255.255", the parser's failure value).
bool sNet_ParseDottedIP4(const char* iText, uint32_t& oAddress);

// Appends at most iMaxCount IPv4 addresses of the host iName, in the resolver's order; appends
// nothing when it cannot be resolved. Blocks for as long as the resolver takes.
void sNet_ResolveIP4(const char* iName, size_t iMaxCount, std::vector<uint32_t>& ioAddresses);

} // namespace Platform
} // namespace Morvek

#endif // __Morvek_platform_ZPlatform_Net_h__
