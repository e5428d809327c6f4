// POSIX: the child side of every fork() bumps the counter before fork() returns in the child.

#include "morvek/platform/ZPlatform_Fork.h"

#include <pthread.h>

#include <atomic>

namespace Morvek
{
namespace ZPlatform
{
namespace
{

std::atomic<uint64_t> sGeneration{0};

void spInChild()
{
    sGeneration.fetch_add(1, std::memory_order_relaxed);
}

// Registered during static initialisation, before any thread of ours can fork.
const int sRegistered = pthread_atfork(nullptr, nullptr, spInChild);

} // namespace

uint64_t sForkGeneration()
{
    (void)sRegistered;
    return sGeneration.load(std::memory_order_relaxed);
}

} // namespace ZPlatform
} // namespace Morvek
