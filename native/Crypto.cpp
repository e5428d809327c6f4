// The cryptographic functions. Results are written straight into the result string: the cipher
// text layout nonce|authenticator|bytes is exactly the nonce followed by the output of the
// library's combined-mode functions, and the signed-message layout is crypto_sign's own, so no
// intermediate copy of a key, plain text or cipher text is ever made. The 64-byte signing
// secret key, the one secret that exists only inside a call, is wiped on every path.
// Every nonce and key is drawn from libsodium's system source, one draw per message: the process
// keeps no generator state that a copy of it (fork, clone, a restored snapshot) could replay.

#include "native/Crypto.h"
#include "native/EntryPath.h"

#include <sodium.h>

#include <new>
#include <stdexcept>

namespace quillane
{
namespace native
{
namespace
{

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = crypto_secretbox_NONCEBYTES;
constexpr size_t kMacSize = crypto_secretbox_MACBYTES;
constexpr size_t kCipherOverhead = kNonceSize + kMacSize; // 40
constexpr size_t kSignatureSize = crypto_sign_BYTES;      // 64

static_assert(crypto_secretbox_KEYBYTES == kKeySize, "secret-box key size");
static_assert(crypto_box_PUBLICKEYBYTES == kKeySize && crypto_box_SECRETKEYBYTES == kKeySize,
              "box key sizes");
static_assert(crypto_box_NONCEBYTES == kNonceSize && crypto_box_MACBYTES == kMacSize,
              "box and secret box share the layout");
static_assert(crypto_sign_SEEDBYTES == kKeySize && crypto_sign_PUBLICKEYBYTES == kKeySize,
              "signing seed and verify key sizes");
static_assert(crypto_secretbox_ZEROBYTES - crypto_secretbox_BOXZEROBYTES == kMacSize,
              "the zero-padded and combined layouts agree");

// Above this many bytes, Crypto_Random expands a fresh 32-byte system seed with ChaCha20: one
// system draw for any count instead of one per 256 bytes. The seed lives only inside the call.
constexpr size_t kDirectRandomMax = 256;

[[noreturn]] void spFail(const char* iMessage)
{
    throw std::runtime_error(iMessage);
}

// The string checks every argument goes through: type first, then (when given) exact length.
void spCheckString(PyObject* iObject, const char* iNotString)
{
    if (!py::sIsString(iObject))
        spFail(iNotString);
}

void spCheckKey(PyObject* iObject, const char* iNotString, const char* iWrongLength)
{
    spCheckString(iObject, iNotString);
    if (py::sStringSize(iObject) != kKeySize)
        spFail(iWrongLength);
}

void spCheckCipherText(PyObject* iObject)
{
    spCheckString(iObject, "cipher text is not a string");
    if (py::sStringSize(iObject) < kCipherOverhead)
        spFail("cipher text is too short to contain the MAC and nonce");
}

void spUnpack(PyObject* iArgs, Py_ssize_t iCount, PyObject** oObjects)
{
    sRequireParsed(py::sUnpackObjects(iArgs, iCount, oObjects));
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
template <class Seal> PyObject* spEncrypt(PyObject* iPlainText, const char* iFailure, Seal iSeal)
{
    const unsigned char* plain = py::sStringData(iPlainText);
    const size_t length = py::sStringSize(iPlainText);
    if (length > PY_SSIZE_T_MAX - kCipherOverhead)
        throw std::bad_alloc();
    unsigned char* out;
    py::Ref result(py::sNewStringToFill(length + kCipherOverhead, out));
    randombytes_buf(out, kNonceSize);
    if (iSeal(out + kNonceSize, plain, length, out) != 0)
        spFail(iFailure);
    return result.Release();
}

// Decryption shared by both kinds: nonce from the front, authenticator|bytes after it.
// iOpen verifies before it writes, so nothing is produced for a forged cipher text.
template <class Open> PyObject* spDecrypt(PyObject* iCipherText, const char* iFailure, Open iOpen)
{
    const unsigned char* cipher = py::sStringData(iCipherText);
    const size_t length = py::sStringSize(iCipherText);
    unsigned char* out;
    py::Ref result(py::sNewStringToFill(length - kCipherOverhead, out));
    if (iOpen(out, cipher + kNonceSize, length - kNonceSize, cipher) != 0)
        spFail(iFailure);
    return result.Release();
}

void spRandomBytes(unsigned char* oBytes, size_t iSize)
{
    if (iSize <= kDirectRandomMax)
    {
        randombytes_buf(oBytes, iSize);
        return;
    }
    unsigned char seed[randombytes_SEEDBYTES];
    randombytes_buf(seed, sizeof seed);
    randombytes_buf_deterministic(oBytes, iSize, seed);
    sodium_memzero(seed, sizeof seed);
}

} // namespace

void sCryptoInitialize()
{
    // Picks the fastest implementations and opens the random source once, so that later calls
    // from any thread need no set-up of their own. A failure here leaves libsodium to set
    // itself up on first use, as it would without this call.
    if (sodium_init() < 0)
        return;
}

PyObject* sCrypto_Random(PyObject*, PyObject* iArgs)
{
    int count;
    sRequireParsed(PyArg_ParseTuple(iArgs, "i", &count));
    if (count == 0)
        return nullptr;
    // A negative count is no byte count at all: refuse it rather than read it as ~4 GiB.
    if (count < 0)
        throw std::bad_alloc();
    unsigned char* out;
    PyObject* result = py::sNewStringToFill(size_t(count), out);
    spRandomBytes(out, size_t(count));
    return result;
}

PyObject* sCrypto_Symmetric_GenerateKey(PyObject*, PyObject*)
{
    unsigned char* out;
    PyObject* result = py::sNewStringToFill(kKeySize, out);
    randombytes_buf(out, kKeySize);
    return result;
}

PyObject* sCrypto_Symmetric_Encrypt(PyObject*, PyObject* iArgs)
{
    PyObject* args[2] = {};
    spUnpack(iArgs, 2, args);
    spCheckKey(args[0], "symmetric key is not a string", "symmetric key is wrong length");
    spCheckString(args[1], "plain text is not a string");
    const unsigned char* key = py::sStringData(args[0]);
    return spEncrypt(
        args[1], "Got error from crypto_secretbox",
        [key](unsigned char* c, const unsigned char* m, size_t n, const unsigned char* nonce)
        { return crypto_secretbox_easy(c, m, n, nonce, key); });
}

PyObject* sCrypto_Symmetric_Decrypt(PyObject*, PyObject* iArgs)
{
    PyObject* args[2] = {};
    spUnpack(iArgs, 2, args);
    spCheckKey(args[0], "symmetric key is not a string", "symmetric key is wrong length");
    spCheckCipherText(args[1]);
    const unsigned char* key = py::sStringData(args[0]);
    return spDecrypt(
        args[1], "Got error from crypto_secretbox_open",
        [key](unsigned char* m, const unsigned char* c, size_t n, const unsigned char* nonce)
        { return crypto_secretbox_open_easy(m, c, n, nonce, key); });
}

PyObject* sCrypto_PK_GenerateKeys(PyObject*, PyObject*)
{
    unsigned char* privateKey;
    unsigned char* publicKey;
    py::Ref priv(py::sNewStringToFill(kKeySize, privateKey));
    py::Ref pub(py::sNewStringToFill(kKeySize, publicKey));
    randombytes_buf(privateKey, kKeySize);
    crypto_scalarmult_base(publicKey, privateKey);
    return py::sNewPairStealing(priv.Release(), pub.Release());
}

PyObject* sCrypto_PK_Encrypt(PyObject*, PyObject* iArgs)
{
    PyObject* args[3] = {};
    spUnpack(iArgs, 3, args);
    spCheckKey(args[0], "private key is not a string", "private key is wrong length");
    spCheckKey(args[1], "public key is not a string", "public key is wrong length");
    spCheckString(args[2], "plain text is not a string");
    const unsigned char* priv = py::sStringData(args[0]);
    const unsigned char* pub = py::sStringData(args[1]);
    return spEncrypt(
        args[2], "Got error from crypto_box",
        [priv, pub](unsigned char* c, const unsigned char* m, size_t n, const unsigned char* nonce)
        { return crypto_box_easy(c, m, n, nonce, pub, priv); });
}

PyObject* sCrypto_PK_Decrypt(PyObject*, PyObject* iArgs)
{
    PyObject* args[3] = {};
    spUnpack(iArgs, 3, args);
    spCheckKey(args[0], "private key is not a string", "private key is wrong length");
    spCheckKey(args[1], "public key is not a string", "public key is wrong length");
    spCheckCipherText(args[2]);
    const unsigned char* priv = py::sStringData(args[0]);
    const unsigned char* pub = py::sStringData(args[1]);
    return spDecrypt(
        args[2], "Got error from crypto_box_open",
        [priv, pub](unsigned char* m, const unsigned char* c, size_t n, const unsigned char* nonce)
        { return crypto_box_open_easy(m, c, n, nonce, pub, priv); });
}

PyObject* sCrypto_Sign_GetVerifyKey(PyObject*, PyObject* iArgs)
{
    PyObject* args[1] = {};
    spUnpack(iArgs, 1, args);
    spCheckKey(args[0], "seed is not a string", "seed is wrong length");
    SigningKeys keys(py::sStringData(args[0]));
    if (keys.fResult != 0)
        spFail("Got error from crypto_sign_seed_keypair");
    return py::sNewString(keys.fVerifyKey, sizeof keys.fVerifyKey);
}

PyObject* sCrypto_Sign_Sign(PyObject*, PyObject* iArgs)
{
    PyObject* args[2] = {};
    spUnpack(iArgs, 2, args);
    spCheckKey(args[0], "seed is not a string", "seed is wrong length");
    spCheckString(args[1], "message is not a string");
    const unsigned char* message = py::sStringData(args[1]);
    const size_t length = py::sStringSize(args[1]);
    if (length > PY_SSIZE_T_MAX - kSignatureSize)
        throw std::bad_alloc();

    // The key pair's own result is not examined: seed derivation cannot fail for a 32-byte seed.
    SigningKeys keys(py::sStringData(args[0]));
    unsigned char* out;
    py::Ref result(py::sNewStringToFill(length + kSignatureSize, out));
    unsigned long long signedLength = 0;
    if (crypto_sign(out, &signedLength, message, length, keys.fSecretKey) != 0)
        spFail("Got error from crypto_sign");
    return result.Release();
}

PyObject* sCrypto_Sign_Verify(PyObject*, PyObject* iArgs)
{
    PyObject* args[2] = {};
    spUnpack(iArgs, 2, args);
    spCheckKey(args[0], "verify key is not a string", "verify key is wrong length");
    spCheckString(args[1], "signed message is not a string");
    const unsigned char* signedMessage = py::sStringData(args[1]);
    const size_t length = py::sStringSize(args[1]);
    // Shorter than a signature: the message length would be negative. Refused with the
    // allocation failure callers know, without attempting a wrapped-around allocation.
    if (length < kSignatureSize)
        throw std::bad_alloc();
    unsigned char* out;
    py::Ref result(py::sNewStringToFill(length - kSignatureSize, out));
    unsigned long long messageLength = 0;
    if (crypto_sign_open(out, &messageLength, signedMessage, length, py::sStringData(args[0])) != 0)
        spFail("Got error from crypto_sign_open");
    return result.Release();
}

} // namespace native
} // namespace quillane
