// The random facility's seed: eight in a row, all different (the engine's connection ids and
// sequence numbers start from one).

#include "morvek/platform/Platform_Random.h"

#include <gtest/gtest.h>

#include <set>

TEST(Platform_Random, SeedsDoNotRepeat)
{
    std::set<uint64_t> seeds;
    for (int i = 0; i < 8; ++i)
        seeds.insert(Morvek::Platform::sRandom_Seed());
    EXPECT_EQ(8u, seeds.size()) << "entropy seeds repeat";
}
