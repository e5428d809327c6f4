// The simulated streams' content. See sim_util.h.
//
// Threads: one at a time (the cache of tables is process-wide and unlocked, as the engine is).

#include "utp/sim/sim_util.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace quillane::UTP::Sim
{

Pattern::Pattern(uint64_t iSeed)
{
    // Tables are cached per seed: simulations make many connections with few seeds.
    static std::unordered_map<uint64_t, std::shared_ptr<const std::vector<uint8_t>>> sCache;
    auto& cached = sCache[iSeed];
    if (!cached)
    {
        std::vector<uint8_t> table(kPeriod);
        Rng rng(iSeed * 0x9E3779B97F4A7C15ull + 0x1234567);
        for (size_t i = 0; i < kPeriod; i += 8)
        {
            const uint64_t v = rng.Next();
            for (size_t j = 0; j < 8 && i + j < kPeriod; ++j)
                table[i + j] = uint8_t(v >> (8 * j));
        }
        cached = std::make_shared<const std::vector<uint8_t>>(std::move(table));
    }
    fTable = cached;
}

void Pattern::Fill(uint64_t iOffset, uint8_t* oDest, size_t iCount) const
{
    while (iCount)
    {
        const size_t pos = size_t(iOffset % kPeriod);
        const uint8_t key = uint8_t(iOffset / kPeriod);
        const size_t take = std::min(iCount, kPeriod - pos);
        const uint8_t* src = fTable->data() + pos;
        for (size_t i = 0; i < take; ++i)
            oDest[i] = src[i] ^ key;
        oDest += take;
        iOffset += take;
        iCount -= take;
    }
}

long Pattern::Mismatch(uint64_t iOffset, const uint8_t* iBytes, size_t iCount) const
{
    uint8_t expected[2048];
    long done = 0;
    while (iCount)
    {
        const size_t take = std::min(iCount, sizeof expected);
        Fill(iOffset, expected, take);
        if (std::memcmp(expected, iBytes, take) != 0)
        {
            for (size_t i = 0; i < take; ++i)
                if (expected[i] != iBytes[i])
                    return done + long(i);
        }
        done += long(take);
        iOffset += take;
        iBytes += take;
        iCount -= take;
    }
    return -1;
}

} // namespace quillane::UTP::Sim
