// Per-thread nonce generator and bulk random bytes; see RandomSource.h for the invariants.

#include "RandomSource.h"

#include "morvek/platform/ZPlatform_Fork.h"

#include <sodium.h>

#include <cstdint>
#include <cstring>

namespace quillane
{
namespace native
{
namespace
{

constexpr size_t kKeySize = crypto_stream_chacha20_ietf_KEYBYTES;
constexpr size_t kPoolSize = 1024;           // nonce bytes handed out per refill
constexpr uint64_t kReseedAfterRefills = 64; // back to the system source every 64 KiB

struct NonceGenerator
{
    unsigned char fKey[kKeySize];
    unsigned char fPool[kPoolSize];
    size_t fUsed = kPoolSize; // bytes of fPool already handed out
    uint64_t fRefills = 0;    // since the last seeding from the system source
    uint64_t fForkGeneration = 0;
    bool fSeeded = false;

    ~NonceGenerator() { sodium_memzero(this, sizeof *this); }

    void Refill()
    {
        const uint64_t generation = Morvek::ZPlatform::sForkGeneration();
        if (!fSeeded || generation != fForkGeneration || fRefills >= kReseedAfterRefills)
        {
            randombytes_buf(fKey, sizeof fKey);
            fForkGeneration = generation;
            fRefills = 0;
            fSeeded = true;
        }
        // Keystream = next key | pool. The key is used for one stream only, so a zero nonce is
        // safe.
        unsigned char block[kKeySize + kPoolSize];
        static const unsigned char sZeroNonce[crypto_stream_chacha20_ietf_NONCEBYTES] = {};
        crypto_stream_chacha20_ietf(block, sizeof block, sZeroNonce, fKey);
        std::memcpy(fKey, block, kKeySize);
        std::memcpy(fPool, block + kKeySize, kPoolSize);
        sodium_memzero(block, sizeof block);
        fUsed = 0;
        ++fRefills;
    }
};

thread_local NonceGenerator sGenerator;

} // namespace

void sRandomNonce(unsigned char* oNonce, size_t iSize)
{
    NonceGenerator& gen = sGenerator;
    if (gen.fUsed + iSize > kPoolSize ||
        gen.fForkGeneration != Morvek::ZPlatform::sForkGeneration())
        gen.Refill();
    std::memcpy(oNonce, gen.fPool + gen.fUsed, iSize);
    // Handed-out bytes are not kept: a later look at the pool cannot recover past nonces.
    sodium_memzero(gen.fPool + gen.fUsed, iSize);
    gen.fUsed += iSize;
}

void sRandomBytes(unsigned char* oBytes, size_t iSize)
{
    if (iSize <= 256)
    {
        randombytes_buf(oBytes, iSize);
        return;
    }
    unsigned char seed[randombytes_SEEDBYTES];
    randombytes_buf(seed, sizeof seed);
    randombytes_buf_deterministic(oBytes, iSize, seed);
    sodium_memzero(seed, sizeof seed);
}

} // namespace native
} // namespace quillane
