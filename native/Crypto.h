// The cryptographic functions of the module: random bytes, secret-key and public-key
// authenticated encryption, and signatures, over libsodium. Their layouts, checks and messages
// are the interpreter-free core's (native/core/Crypto.h); "a string" is the interpreter's byte
// string or a subclass of it (native/Interpreter.h).

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
