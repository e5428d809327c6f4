// The Win32 platform files on the system the tests run on: the administrator check counts only
// an enabled group of the thread's token; the elevated launch waits for the program and hands it
// the parameter text unchanged; a refused creation of the firewall's policy becomes an answer of
// false with its log line, in either kind of apartment, which the firewall leaves as it was.

#include "tests/native/win/RecordingLog.h"
#include "tests/support/platform/Platform_TestOS.h"
#include "native/win/Elevation.h"
#include "native/win/Firewall.h"
#include "native/win/Platform_Elevation.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h> // the firewall's class and interface identifiers, defined here too

#include <netfw.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace quillane::native::win;

namespace
{

string8 spUTF8(const std::wstring& iText)
{
    return Morvek::sUTF8FromUTF16(reinterpret_cast<const Morvek::UTF16*>(iText.data()),
                                  iText.size());
}

// Under user-account control an administrator runs with the Administrators group deny-only
// until elevated: here the thread impersonates such a copy of the process's token.
TEST(PlatformWin, AdministratorsCountOnlyAsAnEnabledGroupOfTheThreadsToken)
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
    const bool whileRestricted = sAdministratorsMember();
    ::RevertToSelf();
    for (HANDLE handle : {process, restricted, impersonation})
        ::CloseHandle(handle);
    ::FreeSid(admins);
    EXPECT_FALSE(whileRestricted);
    if (!sAdministratorsMember())
        GTEST_SKIP() << "the process runs without administrator rights: nothing to tell apart";
}

// The launch probe, built beside this program, writes its command line to the file named by
// its first argument a second after it starts, as its last act: a launch that returns without
// waiting for it finds no file.
TEST(PlatformWin, LaunchWaitsForTheProgramAndPassesItsParametersUnchanged)
{
    if (!quillane::test::Platform::sTestOS_RunningUnderWine() && !sAdministratorsMember())
        GTEST_SKIP() << "would ask for the user's consent; run the tests elevated";
    wchar_t self[MAX_PATH + 1];
    std::wstring folder(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const std::wstring probe = folder + L"launch pr\u00fcfen \u20ac.exe";
    const std::wstring output = folder + L"launch.out";
    ASSERT_TRUE(::CopyFileW((folder + L"native_win_launch_probe.exe").c_str(), probe.c_str(), 0));
    // Quoting, an escaped quote, backslashes before a quote, an empty argument, a tab, UTF-8.
    const string8 parameters = "\"" + spUTF8(output) + "\" a \"b c\" \\\"d\\\\\" \"\" e\tf " +
                               "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80";
    sRunElevated(spUTF8(probe), parameters);

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

// Stands in for the firewall's policy class in the calling thread's apartment while it lives:
// records the interface each creation asks for, and refuses it.
class RefusingClass : public IClassFactory
{
  public:
    explicit RefusingClass(const CLSID& iClass)
        : fRegistered(::CoRegisterClassObject(iClass, this, CLSCTX_INPROC_SERVER,
                                              REGCLS_MULTIPLEUSE, &fCookie))
    {
    }
    ~RefusingClass() { ::CoRevokeClassObject(fCookie); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iInterface, void** oObject) override
    {
        const bool known = iInterface == IID_IUnknown || iInterface == IID_IClassFactory;
        *oObject = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; } // lives on the stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iInterface, void** oObject) override
    {
        fAsked.push_back(iInterface);
        *oObject = nullptr;
        return E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    DWORD fCookie = 0;
    const HRESULT fRegistered;
    std::vector<IID> fAsked;
};

// Run in a thread of its own, which joins the given kind of apartment.
void spRefusedPolicy(DWORD iApartment)
{
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, iApartment)));
    {
        RefusingClass policy2(CLSID_NetFwPolicy2), rule(CLSID_NetFwRule), mgr(CLSID_NetFwMgr),
            application(CLSID_NetFwAuthorizedApplication);
        // Each object is asked for in process, as its own interface.
        const std::unique_ptr<FwPlatform> platform = sNewFwPlatform();
        EXPECT_FALSE(platform->NewRule());
        EXPECT_FALSE(platform->NewMgr());
        EXPECT_FALSE(platform->NewAuthorizedApplication());
        for (const auto& c :
             {std::make_pair(&rule, IID_INetFwRule), std::make_pair(&mgr, IID_INetFwMgr),
              std::make_pair(&application, IID_INetFwAuthorizedApplication)})
        {
            ASSERT_TRUE(SUCCEEDED(c.first->fRegistered));
            EXPECT_EQ(std::vector<IID>(1, c.second), c.first->fAsked);
        }
        ASSERT_TRUE(SUCCEEDED(policy2.fRegistered));
        const Morvek::ZRef<quillane::test::RecordingLog> log = new quillane::test::RecordingLog;
        Morvek::ZLog::sSetLogMeister(log);
        EXPECT_FALSE(sFirewall_IsEnabled(*sNewFwPlatform()));
        Morvek::ZLog::sSetLogMeister(nullptr);
        const string8 line = "P7 quillane::native::win::sFirewall_IsEnabled: No INetFwPolicy2";
        EXPECT_EQ(std::vector<string8>(1, line), log->fLines);
        EXPECT_EQ(std::vector<IID>(1, IID_INetFwPolicy2), policy2.fAsked); // in process
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    ASSERT_EQ(S_OK, ::CoGetApartmentType(&type, &qualifier));
    EXPECT_EQ(iApartment == COINIT_MULTITHREADED, type == APTTYPE_MTA) << type;
    ::CoUninitialize();
}

TEST(PlatformWin, FirewallObjectsAreAskedForInProcessAndARefusalAnswersFalse)
{
    std::thread(spRefusedPolicy, COINIT_MULTITHREADED).join();
    std::thread(spRefusedPolicy, COINIT_APARTMENTTHREADED).join();
}

// Removes every rule of one name from the system's firewall when it goes.
struct RulesNamed
{
    const string8 fName;

    ~RulesNamed() { Remove(); }

    // How many went.
    size_t Remove()
    {
        const std::unique_ptr<FwPolicy2> policy = sNewFwPlatform()->NewPolicy2();
        const std::unique_ptr<FwRules> rules = policy ? policy->GetRules() : nullptr;
        size_t count = 0;
        while (rules && rules->Contains(fName) && rules->Remove(fName))
            ++count;
        return count;
    }
};

TEST(PlatformWin, OpenForThenIsOpenOnTheSystemsFirewall)
{
    // A program that does not exist, under a name no one else uses.
    const string8 suffix =
        std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(::GetTickCount64());
    const string8 program = "C:\\qn_firewall_test_" + suffix + "\\absent.exe";
    RulesNamed rules{"qn firewall test " + suffix};

    EXPECT_FALSE(spIsOpen(*sNewFwPlatform(), program));
    const bool opened = spOpenFor(*sNewFwPlatform(), program, rules.fName);
    EXPECT_EQ(opened, spIsOpen(*sNewFwPlatform(), program));
    if (quillane::test::Platform::sTestOS_RunningUnderWine())
    {
        GTEST_SKIP() << "needs real Windows: Wine's firewall objects are stubs that return "
                        "E_NOTIMPL (checked only that the answers agree)";
    }
    if (!sAdministratorsMember())
        GTEST_SKIP() << "needs administrator rights to change the firewall";
    EXPECT_TRUE(opened);
    EXPECT_TRUE(spOpenFor(*sNewFwPlatform(), program, rules.fName));
    EXPECT_EQ(4u, rules.Remove());
    EXPECT_FALSE(spIsOpen(*sNewFwPlatform(), program));
}

} // namespace
