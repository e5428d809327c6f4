// Module registration: the method table, in its fixed order, and the exported initialisation
// function. Every entry goes through sCallCatching; every entry takes positional arguments only.

#include "native/Crypto.h"
#include "native/EntryPath.h"
#include "native/Interpreter.h"
#include "native/Streams.h"
#include "native/SystemFunctions.h"

#include "morvek/ZNet_Internet.h"
#include "morvek/ZUtil_Debug.h"

namespace quillane
{
namespace native
{
namespace
{

#define QN_ENTRY(pyname, imp)                                                                      \
    {                                                                                              \
        pyname, sEntry<imp>, METH_VARARGS, nullptr                                                 \
    }

PyMethodDef sMethods[] = {QN_ENTRY("RunElevated", sRunElevated),
                          QN_ENTRY("IsElevated", sIsElevated),
                          QN_ENTRY("Firewall_IsEnabled", sFirewall_IsEnabled),
                          QN_ENTRY("Firewall_OpenFor", sFirewall_OpenFor),
                          QN_ENTRY("Firewall_IsOpenFor", sFirewall_IsOpenFor),
                          QN_ENTRY("UTP_Make", sUTP_Make),
                          QN_ENTRY("UTP_Close", sUTP_Close),
                          QN_ENTRY("UTP_Read", sUTP_Read),
                          QN_ENTRY("UTP_Write", sUTP_Write),
                          QN_ENTRY("UTP_SetTimeout", sUTP_SetTimeout),
                          QN_ENTRY("Crypto_Random", sCrypto_Random),
                          QN_ENTRY("Crypto_Symmetric_GenerateKey", sCrypto_Symmetric_GenerateKey),
                          QN_ENTRY("Crypto_Symmetric_Encrypt", sCrypto_Symmetric_Encrypt),
                          QN_ENTRY("Crypto_Symmetric_Decrypt", sCrypto_Symmetric_Decrypt),
                          QN_ENTRY("Crypto_PK_GenerateKeys", sCrypto_PK_GenerateKeys),
                          QN_ENTRY("Crypto_PK_Encrypt", sCrypto_PK_Encrypt),
                          QN_ENTRY("Crypto_PK_Decrypt", sCrypto_PK_Decrypt),
                          QN_ENTRY("Crypto_Sign_GetVerifyKey", sCrypto_Sign_GetVerifyKey),
                          QN_ENTRY("Crypto_Sign_Sign", sCrypto_Sign_Sign),
                          QN_ENTRY("Crypto_Sign_Verify", sCrypto_Sign_Verify),
                          {nullptr, nullptr, 0, nullptr}};

#undef QN_ENTRY

} // namespace
} // namespace native
} // namespace quillane

// The module is built with hidden visibility; the initialisation function is its one export.
#pragma GCC visibility push(default)
QN_MODULE_INIT(quillane_native)
{
    // The log first, so that everything the module writes afterwards reaches standard output.
    Morvek::ZUtil_Debug::sInstallLogMeister();
    Morvek::ZUtil_Debug::sSetLogPriority(6);
    Morvek::sNet_Internet_Startup();
    quillane::native::sCryptoInitialize();
    QN_MODULE_RETURN(
        quillane::native::py::sRegisterModule("quillane_native", quillane::native::sMethods));
}
#pragma GCC visibility pop
