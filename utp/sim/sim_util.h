// Small deterministic helpers for the uTP simulator: a seeded generator, the content of simulated
// byte streams and a 64-bit FNV-1a hash.
//
// Invariant: everything here is a pure function of its seed, so a simulation replays exactly.
// Threads: none; each object belongs to one simulation.

#ifndef QUILLANE_UTP_SIM_SIM_UTIL_H
#define QUILLANE_UTP_SIM_SIM_UTIL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quillane::UTP::Sim
{

// splitmix64: tiny, fast, and good enough for loss patterns and jitter.
class Rng
{
  public:
    explicit Rng(uint64_t iSeed) : fState(iSeed) {}

    uint64_t Next()
    {
        uint64_t z = (fState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double Uniform() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
    // True with probability iP (0 never draws, so a loss-free link consumes no randomness).
    bool Chance(double iP) { return iP > 0 && Uniform() < iP; }
    // Uniform in [0, iN); 0 when iN is 0.
    uint64_t Below(uint64_t iN) { return iN ? Next() % iN : 0; }

  private:
    uint64_t fState;
};

// The bytes of one simulated stream: byte i is T[i mod P] XOR (i / P) for a random table T of a
// prime length P. A receiver checks any stretch of the stream without a copy of what was sent, and
// a stretch delivered at the wrong offset (a duplicate, a reordered or lost packet) mismatches.
class Pattern
{
  public:
    explicit Pattern(uint64_t iSeed);

    // Writes the iCount bytes starting at stream offset iOffset.
    void Fill(uint64_t iOffset, uint8_t* oDest, size_t iCount) const;
    // Offset within the stretch of the first byte that differs from the stream, or -1.
    long Mismatch(uint64_t iOffset, const uint8_t* iBytes, size_t iCount) const;

  private:
    static const size_t kPeriod = 65521;
    std::shared_ptr<const std::vector<uint8_t>> fTable; // shared by all patterns of one seed
};

const uint64_t kFnvOffset = 0xCBF29CE484222325ull;

inline uint64_t sFnv1a64(uint64_t iHash, const uint8_t* iBytes, size_t iCount)
{
    for (size_t i = 0; i < iCount; ++i)
        iHash = (iHash ^ iBytes[i]) * 0x100000001B3ull;
    return iHash;
}

} // namespace quillane::UTP::Sim

#endif // QUILLANE_UTP_SIM_SIM_UTIL_H
