// The module's cryptography. Results are written straight into the room the caller gives: the
// cipher text layout nonce|authenticator|bytes is exactly the nonce followed by the output of
// the library's combined-mode functions, and the signed-message layout is crypto_sign's own, so
// no intermediate copy of a key, plain text or cipher text is ever made. The 64-byte signing
// secret key, the one secret that exists only inside a call, is wiped on every path.
// Every nonce and key is drawn from libsodium's system source, one draw per message: the process
// keeps no generator state that a copy of it (fork, clone, a restored snapshot) could replay.

#include "native/core/Crypto.h"

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace quillane
{
namespace native
{
namespace core
{
namespace
{

static_assert(crypto_secretbox_KEYBYTES == kKeySize && crypto_secretbox_NONCEBYTES == kNonceSize &&
                  crypto_secretbox_MACBYTES == kMacSize,
              "secret-box sizes");
static_assert(crypto_box_PUBLICKEYBYTES == kKeySize && crypto_box_SECRETKEYBYTES == kKeySize,
              "box key sizes");
static_assert(crypto_box_NONCEBYTES == kNonceSize && crypto_box_MACBYTES == kMacSize,
              "box and secret box share the layout");
static_assert(crypto_sign_SEEDBYTES == kKeySize && crypto_sign_PUBLICKEYBYTES == kKeySize &&
                  crypto_sign_BYTES == kSignatureSize,
              "signing seed, verify key and signature sizes");
static_assert(crypto_secretbox_ZEROBYTES - crypto_secretbox_BOXZEROBYTES == kMacSize,
              "the zero-padded and combined layouts agree");

// Above this many bytes, sRandom expands a fresh 32-byte system seed with ChaCha20: one system
// draw for any count instead of one per 256 bytes. The seed lives only inside the call.
constexpr size_t kDirectRandomMax = 256;

[[noreturn]] void spFail(const std::string& iMessage)
{
    throw std::runtime_error(iMessage);
}

// The checks every argument goes through: byte string first, then (when asked) its length.
void spCheckString(const Argument& iArg, const char* iName)
{
    if (!iArg.fIsString)
        spFail(std::string(iName) + " is not a string");
}

void spCheckKey(const Argument& iArg, const char* iName)
{
    spCheckString(iArg, iName);
    if (iArg.fSize != kKeySize)
        spFail(std::string(iName) + " is wrong length");
}

void spCheckCipherText(const Argument& iArg)
{
    spCheckString(iArg, "cipher text");
    if (iArg.fSize < kCipherOverhead)
        spFail("cipher text is too short to contain the MAC and nonce");
}

// The size of a result iOverhead bytes longer than iSize bytes; a size that wraps is no size.
size_t spGrown(size_t iSize, size_t iOverhead)
{
    if (iSize > SIZE_MAX - iOverhead)
        throw std::bad_alloc();
    return iSize + iOverhead;
}

// The 64-byte signing secret key derived from a seed, wiped when it goes out of scope.
struct SigningKeys
{
    unsigned char fVerifyKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char fSecretKey[crypto_sign_SECRETKEYBYTES];
    int fResult;

    explicit SigningKeys(const unsigned char* iSeed)
        : fResult(crypto_sign_seed_keypair(fVerifyKey, fSecretKey, iSeed))
    {
    }
    ~SigningKeys() { sodium_memzero(fSecretKey, sizeof fSecretKey); }
    SigningKeys(const SigningKeys&) = delete;
    SigningKeys& operator=(const SigningKeys&) = delete;
};

// Encryption shared by both kinds: a fresh nonce, then the library's combined-mode output
// behind it. iSeal writes authenticator|bytes for (out, in, length, nonce).
template <class Seal>
void spEncrypt(const Argument& iPlainText, Results& oResults, const char* iFailure, Seal iSeal)
{
    unsigned char* out = oResults.Add(spGrown(iPlainText.fSize, kCipherOverhead));
    randombytes_buf(out, kNonceSize);
    if (iSeal(out + kNonceSize, iPlainText.fData, iPlainText.fSize, out) != 0)
        spFail(iFailure);
}

// Decryption shared by both kinds: nonce from the front, authenticator|bytes after it.
// iOpen verifies before it writes, so nothing is produced for a forged cipher text.
template <class Open>
void spDecrypt(const Argument& iCipherText, Results& oResults, const char* iFailure, Open iOpen)
{
    const unsigned char* cipher = iCipherText.fData;
    unsigned char* out = oResults.Add(iCipherText.fSize - kCipherOverhead);
    if (iOpen(out, cipher + kNonceSize, iCipherText.fSize - kNonceSize, cipher) != 0)
        spFail(iFailure);
}

} // namespace

void sInitialize()
{
    // Picks the fastest implementations and opens the random source once, so that later calls
    // from any thread need no set-up of their own. A failure here leaves libsodium to set
    // itself up on first use, as it would without this call.
    if (sodium_init() < 0)
        return;
}

void sRandom(int iCount, Results& oResults)
{
    if (iCount == 0)
        return;
    // Refused rather than read as a count of about 4 GiB (or far more, for a 64-bit size).
    if (iCount < 0)
        throw std::bad_alloc();
    const size_t count = static_cast<size_t>(iCount);
    unsigned char* out = oResults.Add(count);
    if (count <= kDirectRandomMax)
    {
        randombytes_buf(out, count);
        return;
    }
    unsigned char seed[randombytes_SEEDBYTES];
    randombytes_buf(seed, sizeof seed);
    randombytes_buf_deterministic(out, count, seed);
    sodium_memzero(seed, sizeof seed);
}

void sSymmetric_GenerateKey(Results& oResults)
{
    randombytes_buf(oResults.Add(kKeySize), kKeySize);
}

void sSymmetric_Encrypt(const Argument (&iArgs)[2], Results& oResults)
{
    spCheckKey(iArgs[0], "symmetric key");
    spCheckString(iArgs[1], "plain text");
    const unsigned char* key = iArgs[0].fData;
    spEncrypt(iArgs[1], oResults, "Got error from crypto_secretbox",
              [key](unsigned char* c, const unsigned char* m, size_t n, const unsigned char* nonce)
              { return crypto_secretbox_easy(c, m, n, nonce, key); });
}

void sSymmetric_Decrypt(const Argument (&iArgs)[2], Results& oResults)
{
    spCheckKey(iArgs[0], "symmetric key");
    spCheckCipherText(iArgs[1]);
    const unsigned char* key = iArgs[0].fData;
    spDecrypt(iArgs[1], oResults, "Got error from crypto_secretbox_open",
              [key](unsigned char* m, const unsigned char* c, size_t n, const unsigned char* nonce)
              { return crypto_secretbox_open_easy(m, c, n, nonce, key); });
}

void sPK_GenerateKeys(Results& oResults)
{
    unsigned char* privateKey = oResults.Add(kKeySize);
    unsigned char* publicKey = oResults.Add(kKeySize);
    randombytes_buf(privateKey, kKeySize);
    crypto_scalarmult_base(publicKey, privateKey);
}

void sPK_Encrypt(const Argument (&iArgs)[3], Results& oResults)
{
    spCheckKey(iArgs[0], "private key");
    spCheckKey(iArgs[1], "public key");
    spCheckString(iArgs[2], "plain text");
    const unsigned char* priv = iArgs[0].fData;
    const unsigned char* pub = iArgs[1].fData;
    spEncrypt(
        iArgs[2], oResults, "Got error from crypto_box",
        [priv, pub](unsigned char* c, const unsigned char* m, size_t n, const unsigned char* nonce)
        { return crypto_box_easy(c, m, n, nonce, pub, priv); });
}

void sPK_Decrypt(const Argument (&iArgs)[3], Results& oResults)
{
    spCheckKey(iArgs[0], "private key");
    spCheckKey(iArgs[1], "public key");
    spCheckCipherText(iArgs[2]);
    const unsigned char* priv = iArgs[0].fData;
    const unsigned char* pub = iArgs[1].fData;
    spDecrypt(
        iArgs[2], oResults, "Got error from crypto_box_open",
        [priv, pub](unsigned char* m, const unsigned char* c, size_t n, const unsigned char* nonce)
        { return crypto_box_open_easy(m, c, n, nonce, pub, priv); });
}

void sSign_GetVerifyKey(const Argument (&iArgs)[1], Results& oResults)
{
    spCheckKey(iArgs[0], "seed");
    SigningKeys keys(iArgs[0].fData);
    if (keys.fResult != 0)
        spFail("Got error from crypto_sign_seed_keypair");
    std::memcpy(oResults.Add(kKeySize), keys.fVerifyKey, kKeySize);
}

void sSign_Sign(const Argument (&iArgs)[2], Results& oResults)
{
    spCheckKey(iArgs[0], "seed");
    spCheckString(iArgs[1], "message");
    const size_t size = spGrown(iArgs[1].fSize, kSignatureSize);
    // The key pair's own result is not examined: seed derivation cannot fail for a 32-byte seed.
    SigningKeys keys(iArgs[0].fData);
    unsigned char* out = oResults.Add(size);
    unsigned long long signedLength = 0;
    if (crypto_sign(out, &signedLength, iArgs[1].fData, iArgs[1].fSize, keys.fSecretKey) != 0)
        spFail("Got error from crypto_sign");
}

void sSign_Verify(const Argument (&iArgs)[2], Results& oResults)
{
    spCheckKey(iArgs[0], "verify key");
    spCheckString(iArgs[1], "signed message");
    // Shorter than a signature: the message length would be negative. Refused with the
    // allocation failure callers know, without attempting a wrapped-around allocation.
    if (iArgs[1].fSize < kSignatureSize)
        throw std::bad_alloc();
    unsigned char* out = oResults.Add(iArgs[1].fSize - kSignatureSize);
    unsigned long long messageLength = 0;
    if (crypto_sign_open(out, &messageLength, iArgs[1].fData, iArgs[1].fSize, iArgs[0].fData) != 0)
        spFail("Got error from crypto_sign_open");
}

} // namespace core
} // namespace native
} // namespace quillane
