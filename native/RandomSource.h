// Random bytes for the cryptographic functions.
//
// Nonces are drawn from a per-thread ChaCha20 generator keyed from the system's random source:
// one system call per 64 KiB of nonces instead of one per message. After every refill the
// generator replaces its own key with fresh keystream (earlier output cannot be recomputed from
// a later state), and a forked child discards the state it inherited, so two processes never
// hand out the same nonce.
//
// Bulk random bytes (Crypto_Random) come from the system source for small counts and, above
// 256 bytes, as ChaCha20 keystream under a fresh 32-byte key from the system source: one system
// call for any count instead of one per 256 bytes.

#ifndef __quillane_native_RandomSource_h__
#define __quillane_native_RandomSource_h__ 1

#include <cstddef>

namespace quillane
{
namespace native
{

// Fills oNonce with iSize (at most 64) unpredictable bytes.
void sRandomNonce(unsigned char* oNonce, size_t iSize);

// Fills oBytes with iSize random bytes.
void sRandomBytes(unsigned char* oBytes, size_t iSize);

} // namespace native
} // namespace quillane

#endif // __quillane_native_RandomSource_h__
