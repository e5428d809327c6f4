// Elevation on Windows: membership of the built-in Administrators group in the calling thread's
// effective token, and the shell's "runas" launch, which asks for the user's consent (the
// user-account-control prompt) before the program starts.
//
// Under user-account control an administrator running without elevation holds the group only
// as a deny-only entry, which the membership test does not count: the answer is true exactly
// for an elevated (or never-restricted administrator) process.

#include "system/platform/Platform_Elevation.h"

#include <windows.h>

#include <shellapi.h>

#ifndef SEE_MASK_NOASYNC
#define SEE_MASK_NOASYNC 0x00000100
#endif
#ifndef SEE_MASK_NOZONECHECKS
#define SEE_MASK_NOZONECHECKS 0x00800000
#endif

namespace quillane
{
namespace system
{
namespace Platform
{

using namespace Morvek;

namespace
{

static_assert(sizeof(WCHAR) == sizeof(UTF16), "UTF-16 texts are the system's wide texts");

// The launch waits for the program (a process handle), runs synchronously, shows no error
// dialog, gives the program a console of its own and skips the download-zone check.
const ULONG kLaunchMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI |
                          SEE_MASK_NO_CONSOLE | SEE_MASK_NOZONECHECKS;
static_assert(kLaunchMask == 0x00808540, "launch flags");
// The record the launch fills, laid out as the shell expects it (cbSize tells the shell which
// layout it gets): 60 bytes in 32-bit programs, 112 in 64-bit ones.
static_assert(sizeof(SHELLEXECUTEINFOW) == (sizeof(void*) == 4 ? 60 : 112), "launch record");

// Frees a security identifier made by AllocateAndInitializeSid.
class SidHolder
{
  public:
    explicit SidHolder(PSID iSid) : fSid(iSid) {}
    ~SidHolder() { ::FreeSid(fSid); }
    SidHolder(const SidHolder&) = delete;
    SidHolder& operator=(const SidHolder&) = delete;

  private:
    PSID fSid;
};

// Closes a process handle; holds nothing when the launch returned none.
class HandleHolder
{
  public:
    explicit HandleHolder(HANDLE iHandle) : fHandle(iHandle) {}
    ~HandleHolder()
    {
        if (fHandle)
            ::CloseHandle(fHandle);
    }
    HandleHolder(const HandleHolder&) = delete;
    HandleHolder& operator=(const HandleHolder&) = delete;
    HANDLE Get() const { return fHandle; }

  private:
    HANDLE fHandle;
};

} // namespace

bool sElevation_IsAdministrator()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
    {
        return false;
    }
    SidHolder holder(administrators);
    // No token: the calling thread's effective one (its impersonation token, else the
    // process's).
    BOOL isMember = FALSE;
    if (!::CheckTokenMembership(nullptr, administrators, &isMember))
        return false;
    return isMember != FALSE;
}

void sElevation_LaunchAndWait(const string16& iFile, const string16& iParameters)
{
    SHELLEXECUTEINFOW request;
    ::ZeroMemory(&request, sizeof request);
    request.cbSize = sizeof request;
    request.fMask = kLaunchMask;
    request.hwnd = nullptr;
    request.lpVerb = L"runas";
    request.lpFile = reinterpret_cast<LPCWSTR>(iFile.c_str());
    request.lpParameters = reinterpret_cast<LPCWSTR>(iParameters.c_str());
    request.lpDirectory = nullptr; // the program starts in the current directory
    request.nShow = SW_SHOWNORMAL;
    // Declined, missing, or refused by the shell: nothing started, nothing to report.
    if (!::ShellExecuteExW(&request))
        return;
    HandleHolder process(request.hProcess);
    if (process.Get())
        ::WaitForSingleObject(process.Get(), INFINITE);
}

} // namespace Platform
} // namespace system
} // namespace quillane
