// The Win32 elevation file on the system the tests run on: the administrator check counts only
// an enabled group of the thread's token; the elevated launch waits for the program and hands it
// the parameter text unchanged.

#include "system/platform/Platform_Elevation.h"

#include "system/Elevation.h"
#include "tests/support/platform/Platform_TestOS.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>

using Morvek::string8;
using quillane::system::sRunProgramElevated;
using quillane::system::Platform::sElevation_IsAdministrator;

namespace
{

string8 spUTF8(const std::wstring& iText)
{
    return Morvek::sUTF8FromUTF16(reinterpret_cast<const Morvek::UTF16*>(iText.data()),
                                  iText.size());
}

// Under user-account control an administrator runs with the Administrators group deny-only
// until elevated: here the thread impersonates such a copy of the process's token.
TEST(PlatformElevationWin, AdministratorsCountOnlyAsAnEnabledGroupOfTheThreadsToken)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    HANDLE process = nullptr, restricted = nullptr, impersonation = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                           DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    SID_AND_ATTRIBUTES denyOnly = {admins, 0};
    ASSERT_TRUE(
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process) &&
        ::CreateRestrictedToken(process, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted) &&
        ::DuplicateToken(restricted, SecurityImpersonation, &impersonation) &&
        ::SetThreadToken(nullptr, impersonation))
        << "error " << ::GetLastError();
    const bool whileRestricted = sElevation_IsAdministrator();
    ::RevertToSelf();
    for (HANDLE handle : {process, restricted, impersonation})
        ::CloseHandle(handle);
    ::FreeSid(admins);
    EXPECT_FALSE(whileRestricted);
    if (!sElevation_IsAdministrator())
        GTEST_SKIP() << "the process runs without administrator rights: nothing to tell apart";
}

// The launch probe, built beside this program, writes its command line to the file named by
// its first argument a second after it starts, as its last act: a launch that returns without
// waiting for it finds no file.
TEST(PlatformElevationWin, LaunchWaitsForTheProgramAndPassesItsParametersUnchanged)
{
    if (!quillane::test::Platform::sTestOS_RunningUnderWine() && !sElevation_IsAdministrator())
        GTEST_SKIP() << "would ask for the user's consent; run the tests elevated";
    wchar_t self[MAX_PATH + 1];
    std::wstring folder(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const std::wstring probe = folder + L"launch pr\u00fcfen \u20ac.exe";
    const std::wstring output = folder + L"launch.out";
    ASSERT_TRUE(::CopyFileW((folder + L"system_launch_probe.exe").c_str(), probe.c_str(), 0));
    // Quoting, an escaped quote, backslashes before a quote, an empty argument, a tab, UTF-8.
    const string8 parameters = "\"" + spUTF8(output) + "\" a \"b c\" \\\"d\\\\\" \"\" e\tf " +
                               "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80";
    sRunProgramElevated(spUTF8(probe), parameters);

    std::wstring commandLine;
    if (FILE* file = ::_wfopen(output.c_str(), L"rb"))
    {
        wchar_t buffer[4096];
        commandLine.assign(buffer, std::fread(buffer, sizeof(wchar_t), 4096, file));
        std::fclose(file);
    }
    ::DeleteFileW(probe.c_str());
    ::DeleteFileW(output.c_str());
    const string8 received = spUTF8(commandLine), expected = " " + parameters;
    EXPECT_EQ(expected,
              received.substr(received.size() - std::min(received.size(), expected.size())));
}

} // namespace
