// Process duplication: a counter that changes in a child process after it is forked, so that
// per-process secrets (random generator state) can notice they were copied and must be renewed.
// Reading it costs a relaxed atomic load, no system call. Platforms without fork keep it at 0.

#ifndef __morvek_platform_ZPlatform_Fork_h__
#define __morvek_platform_ZPlatform_Fork_h__ 1

#include <cstdint>

namespace Morvek
{
namespace ZPlatform
{

// The number of forks between the process's start and this process (0 in the original process).
uint64_t sForkGeneration();

} // namespace ZPlatform
} // namespace Morvek

#endif // __morvek_platform_ZPlatform_Fork_h__
