// Platform layer, random facility: a seed from the operating system's entropy source, for the
// pseudo-random generators above the platform (the uTP engine's). Implemented in
// Platform_Random_<platform>.cpp, which the build picks; part of the platform leaf with the clock
// facility. Stateless; any thread.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_RANDOM_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_RANDOM_H

#include <cstdint>

namespace Morvek
{
namespace Platform
{

// 64 bits from the system's entropy source; when that cannot be read, bits of the clocks and
// the process id, which differ between calls and processes but are no secret.
uint64_t sRandom_Seed();

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_RANDOM_H
