// The cryptographic functions of the module: random bytes, secret-key and public-key
// authenticated encryption, and signatures, over libsodium.
//
// Layouts (bytes):
//   cipher text    = nonce (24) | authenticator (16) | encrypted bytes (n)      -> n + 40
//   signed message = signature (64) | message (n)                              -> n + 64
//   keys, seeds and verify keys are 32 bytes.
// Every argument is checked for type and exact length, in argument order, before any work.

#ifndef QUILLANE_NATIVE_CRYPTO_H
#define QUILLANE_NATIVE_CRYPTO_H

#include "native/Interpreter.h"

namespace quillane
{
namespace native
{

// Called once at module initialisation; makes libsodium ready for use from any thread.
void sCryptoInitialize();

PyObject* sCrypto_Random(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_Symmetric_GenerateKey(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_Symmetric_Encrypt(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_Symmetric_Decrypt(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_PK_GenerateKeys(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_PK_Encrypt(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_PK_Decrypt(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_Sign_GetVerifyKey(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_Sign_Sign(PyObject* iModule, PyObject* iArgs);
PyObject* sCrypto_Sign_Verify(PyObject* iModule, PyObject* iArgs);

} // namespace native
} // namespace quillane

#endif // QUILLANE_NATIVE_CRYPTO_H
