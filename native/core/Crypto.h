// The module's cryptography without the interpreter: random bytes, secret-key and public-key
// authenticated encryption, and signatures over libsodium, with the layouts of their results,
// the checks of their arguments, the order of those checks and their messages. Both builds of
// the module (Linux, Windows) call these; the Python functions (native/Crypto.cpp) only turn
// arguments into Argument and Results into the interpreter's strings.
//
// Layouts (bytes):
//   cipher text    = nonce (24) | authenticator (16) | encrypted bytes (n)      -> n + 40
//   signed message = signature (64) | message (n)                              -> n + 64
//   keys, seeds and verify keys are 32 bytes.
//
// Every argument is checked, in argument order, for being a byte string and then for its
// length, before any work; the first failed check throws std::runtime_error with its message
// ("<name> is not a string", "<name> is wrong length", ...). A failure of the library throws
// std::runtime_error("Got error from <the library's function>"), a result that cannot exist
// (a negative count, a signed message shorter than a signature) std::bad_alloc.

#ifndef QUILLANE_NATIVE_CORE_CRYPTO_H
#define QUILLANE_NATIVE_CORE_CRYPTO_H

#include <cstddef>

namespace quillane
{
namespace native
{
namespace core
{

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 24;
constexpr size_t kMacSize = 16;
constexpr size_t kCipherOverhead = kNonceSize + kMacSize;
constexpr size_t kSignatureSize = 64;

// One argument as the caller got it: the bytes of a byte string, or no byte string at all.
// The bytes stay valid and unchanged for the whole call.
struct Argument
{
    bool fIsString;
    const unsigned char* fData;
    size_t fSize;
};

// Where a function puts its results. Each Add makes room for one more result of exactly iSize
// bytes, which the function fills before it returns; a function that throws leaves the room it
// got unfilled, for the caller to drop. Add throws std::bad_alloc when the room cannot be had.
class Results
{
  public:
    virtual unsigned char* Add(size_t iSize) = 0;

  protected:
    ~Results() = default;
};

// Once, before any other call: makes libsodium ready for use from any thread.
void sInitialize();

// iCount random bytes, one result; none for 0. A negative count is no byte count at all.
void sRandom(int iCount, Results& oResults);

// One result: a new 32-byte symmetric key.
void sSymmetric_GenerateKey(Results& oResults);

// (symmetric key, plain text) -> cipher text.
void sSymmetric_Encrypt(const Argument (&iArgs)[2], Results& oResults);

// (symmetric key, cipher text) -> plain text.
void sSymmetric_Decrypt(const Argument (&iArgs)[2], Results& oResults);

// Two results: a new private key, then its public key.
void sPK_GenerateKeys(Results& oResults);

// (private key, public key, plain text) -> cipher text, from the first key's owner to the
// second's.
void sPK_Encrypt(const Argument (&iArgs)[3], Results& oResults);

// (private key, public key, cipher text) -> plain text.
void sPK_Decrypt(const Argument (&iArgs)[3], Results& oResults);

// (seed) -> the verify key of the signing key that the seed derives.
void sSign_GetVerifyKey(const Argument (&iArgs)[1], Results& oResults);

// (seed, message) -> signed message.
void sSign_Sign(const Argument (&iArgs)[2], Results& oResults);

// (verify key, signed message) -> message.
void sSign_Verify(const Argument (&iArgs)[2], Results& oResults);

} // namespace core
} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_CORE_CRYPTO_H
