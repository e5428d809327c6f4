// The Win32 platform files themselves, on the system the tests run on: the administrator check
// against a thread token whose Administrators entry is deny-only, the elevated launch starting a
// harmless program and waiting for it, and the firewall's COM classes (each created in process
// as its own interface; a refused creation becomes an answer of false with its log line; the
// system's firewall opened for an absent program and closed again). What needs real Windows
// behaviour that Wine lacks is skipped under Wine, saying what is missing.

#include "RecordingLog.h"
#include "test_os.h"
#include "win/Elevation.h"
#include "win/Firewall.h"
#include "win/Platform_Elevation.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h> // the firewall's class and interface identifiers, defined here too

#include <netfw.h>
#include <objbase.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quillane::native::win;
namespace ZLog = Morvek::ZLog;

namespace
{

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the system's wide texts are UTF-16");

std::wstring spWide(const string8& iText)
{
    const Morvek::string16 wide = Morvek::sUTF16FromUTF8(iText);
    return std::wstring(wide.begin(), wide.end());
}

string8 spUTF8(const std::wstring& iText)
{
    return Morvek::sUTF8FromUTF16(reinterpret_cast<const Morvek::UTF16*>(iText.data()),
                                  iText.size());
}

// Closes a handle when it goes.
class Handle
{
  public:
    Handle() = default;
    ~Handle()
    {
        if (fHandle)
            ::CloseHandle(fHandle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* Out() { return &fHandle; }
    HANDLE Get() const { return fHandle; }

  private:
    HANDLE fHandle = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The administrator check

// While it lives, the calling thread impersonates a copy of the process's token in which the
// built-in Administrators group is deny-only: what a member of the group runs with under
// user-account control before elevation.
class DenyOnlyAdministrators
{
  public:
    DenyOnlyAdministrators()
    {
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        Handle process, restricted, impersonation;
        if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                        DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        {
            return;
        }
        SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
        fImpersonating =
            ::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY,
                               process.Out()) &&
            ::CreateRestrictedToken(process.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr,
                                    restricted.Out()) &&
            ::DuplicateToken(restricted.Get(), SecurityImpersonation, impersonation.Out()) &&
            ::SetThreadToken(nullptr, impersonation.Get());
        ::FreeSid(administrators);
    }
    ~DenyOnlyAdministrators()
    {
        if (fImpersonating)
            ::RevertToSelf();
    }
    DenyOnlyAdministrators(const DenyOnlyAdministrators&) = delete;
    DenyOnlyAdministrators& operator=(const DenyOnlyAdministrators&) = delete;

    bool fImpersonating = false;
};

TEST(PlatformWin, AdministratorsCountOnlyAsAnEnabledGroupOfTheThreadsToken)
{
    const bool process = sAdministratorsMember();
    {
        DenyOnlyAdministrators restricted;
        ASSERT_TRUE(restricted.fImpersonating) << "error " << ::GetLastError();
        EXPECT_FALSE(sAdministratorsMember());
        // Another thread goes on with the process's token.
        bool other = !process;
        std::thread([&other] { other = sAdministratorsMember(); }).join();
        EXPECT_EQ(process, other);
    }
    EXPECT_EQ(process, sAdministratorsMember());
    if (!process)
        GTEST_SKIP() << "the process runs without administrator rights, so a deny-only entry was "
                        "not told apart from an enabled one";
}

// ---------------------------------------------------------------------------------------------
// The elevated launch

// A folder of its own under the system's temporary folder, removed with what it holds.
class TempFolder
{
  public:
    TempFolder()
    {
        wchar_t base[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
        fPath = std::wstring(base, length) + L"qn_launch_" +
                std::to_wstring(::GetCurrentProcessId()) + L"_" +
                std::to_wstring(::GetTickCount64());
        fMade = length > 0 && ::CreateDirectoryW(fPath.c_str(), nullptr);
    }
    ~TempFolder()
    {
        for (const std::wstring& file : fFiles)
            ::DeleteFileW(file.c_str());
        ::RemoveDirectoryW(fPath.c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // A path in the folder, deleted with it.
    std::wstring File(const std::wstring& iName)
    {
        fFiles.push_back(fPath + L"\\" + iName);
        return fFiles.back();
    }

    std::wstring fPath;
    bool fMade = false;

  private:
    std::vector<std::wstring> fFiles;
};

// The test program's folder: the launch probe is built beside it.
std::wstring spProgramFolder()
{
    wchar_t path[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    const std::wstring program(path, length);
    return program.substr(0, program.find_last_of(L"\\/"));
}

// What the probe wrote (its command line), or null when there is no such file.
std::unique_ptr<std::wstring> spReadCommandLine(const std::wstring& iPath)
{
    Handle file;
    *file.Out() = ::CreateFileW(iPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.Get() == INVALID_HANDLE_VALUE)
    {
        *file.Out() = nullptr;
        return nullptr;
    }
    std::wstring text(4096, L'\0');
    DWORD read = 0;
    if (!::ReadFile(file.Get(), &text[0], DWORD(text.size() * sizeof(wchar_t)), &read, nullptr))
        return nullptr;
    text.resize(read / sizeof(wchar_t));
    return std::make_unique<std::wstring>(text);
}

TEST(PlatformWin, LaunchStartsTheProgramWaitsForItAndPassesItsParametersUnchanged)
{
    if (!qntest::sRunningUnderWine() && !sAdministratorsMember())
    {
        GTEST_SKIP() << "would ask for the user's consent (the user-account-control prompt); "
                        "run the tests elevated";
    }
    TempFolder folder;
    ASSERT_TRUE(folder.fMade) << "error " << ::GetLastError();
    const std::wstring probe = spProgramFolder() + L"\\native_win_launch_probe.exe";
    const std::wstring nonASCII = folder.File(L"pr\u00fcfen \u20ac.exe");
    ASSERT_TRUE(::CopyFileW(probe.c_str(), nonASCII.c_str(), FALSE))
        << "error " << ::GetLastError();

    // The parameter text is the probe's output file, quoted, then fExtra.
    struct Case
    {
        std::wstring fProgram;
        string8 fExtra;
        bool fStarts;
    } const cases[] = {
        // Quoting, an escaped quote, backslashes before a quote, an empty argument, a tab.
        {probe, "a \"b c\" \\\"d\\\\\" \"\" e\tf", true},
        {nonASCII, "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", true},
        {folder.File(L"absent.exe"), "", false},
        {probe, string8("zero\0byte", 9), false},
    };
    for (size_t x = 0; x < sizeof cases / sizeof cases[0]; ++x)
    {
        const Case& c = cases[x];
        const std::wstring output = folder.File(L"out" + std::to_wstring(x));
        folder.File(L"out" + std::to_wstring(x) + L".part"); // left by a probe that failed
        const string8 parameters = "\"" + spUTF8(output) + "\" " + c.fExtra;
        sRunElevated(spUTF8(c.fProgram), parameters);
        // The probe writes its file a second after it starts, as its last act: a launch that
        // returned without waiting for it finds none here.
        const std::unique_ptr<std::wstring> commandLine = spReadCommandLine(output);
        if (!c.fStarts)
        {
            EXPECT_FALSE(commandLine) << "case " << x;
            continue;
        }
        ASSERT_TRUE(commandLine) << "case " << x;
        const std::wstring expected = L" " + spWide(parameters);
        EXPECT_NE(std::wstring::npos, commandLine->find(c.fProgram)) << "case " << x;
        ASSERT_GE(commandLine->size(), expected.size()) << "case " << x;
        EXPECT_EQ(expected, commandLine->substr(commandLine->size() - expected.size()))
            << "case " << x;
    }
}

// ---------------------------------------------------------------------------------------------
// The firewall's COM classes

// Stands in for one of the firewall's classes in the calling thread's apartment while it lives:
// refuses every creation, recording what was asked of it.
class RefusingClass : public IClassFactory
{
  public:
    explicit RefusingClass(REFCLSID iClass)
    {
        fRegistered = ::CoRegisterClassObject(iClass, this, CLSCTX_INPROC_SERVER,
                                              REGCLS_MULTIPLEUSE, &fCookie);
    }
    ~RefusingClass()
    {
        if (SUCCEEDED(fRegistered))
            ::CoRevokeClassObject(fCookie);
    }
    RefusingClass(const RefusingClass&) = delete;
    RefusingClass& operator=(const RefusingClass&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iInterface, void** oObject) override
    {
        *oObject = nullptr;
        if (!IsEqualIID(iInterface, IID_IUnknown) && !IsEqualIID(iInterface, IID_IClassFactory))
            return E_NOINTERFACE;
        *oObject = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return ULONG(::InterlockedIncrement(&fReferences));
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        return ULONG(::InterlockedDecrement(&fReferences));
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* iOuter, REFIID iInterface,
                                             void** oObject) override
    {
        fAggregated = fAggregated || iOuter;
        fInterfaces.push_back(iInterface);
        *oObject = nullptr;
        return E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    HRESULT fRegistered = E_FAIL;
    DWORD fCookie = 0;
    LONG fReferences = 0;
    bool fAggregated = false;
    std::vector<IID> fInterfaces;
};

// In a thread of each kind of apartment: every creation asks the right class for the right
// interface, in process, and a refused creation turns into the answers of false, each logged
// under its operation's name. The thread's apartment is left as it was found.
TEST(PlatformWin, FirewallObjectsAreCreatedInProcessAsTheirInterfaces)
{
    for (const DWORD apartment : {DWORD(COINIT_MULTITHREADED), DWORD(COINIT_APARTMENTTHREADED)})
    {
        std::thread(
            [apartment]
            {
                ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, apartment)));
                {
                    RefusingClass policy2(CLSID_NetFwPolicy2), rule(CLSID_NetFwRule),
                        mgr(CLSID_NetFwMgr), application(CLSID_NetFwAuthorizedApplication);
                    const struct
                    {
                        RefusingClass& fClass;
                        const IID& fInterface;
                        bool fCreated;
                    } creations[] = {
                        {policy2, IID_INetFwPolicy2, sNewFwPlatform()->NewPolicy2() != nullptr},
                        {rule, IID_INetFwRule, sNewFwPlatform()->NewRule() != nullptr},
                        {mgr, IID_INetFwMgr, sNewFwPlatform()->NewMgr() != nullptr},
                        {application, IID_INetFwAuthorizedApplication,
                         sNewFwPlatform()->NewAuthorizedApplication() != nullptr},
                    };
                    for (const auto& c : creations)
                    {
                        ASSERT_TRUE(SUCCEEDED(c.fClass.fRegistered));
                        EXPECT_FALSE(c.fCreated);
                        EXPECT_FALSE(c.fClass.fAggregated);
                        ASSERT_EQ(1u, c.fClass.fInterfaces.size());
                        EXPECT_TRUE(IsEqualIID(c.fInterface, c.fClass.fInterfaces[0]));
                    }

                    const Morvek::ZRef<qntest::RecordingLog> log = new qntest::RecordingLog;
                    ZLog::sSetLogMeister(log);
                    EXPECT_TRUE(sNewFwPlatform()->IsRuleBased()); // Windows 7 or later, and Wine
                    EXPECT_FALSE(sFirewall_IsEnabled(*sNewFwPlatform()));
                    EXPECT_FALSE(spIsOpen(*sNewFwPlatform(), "C:\\q.exe"));
                    EXPECT_FALSE(spOpenFor(*sNewFwPlatform(), "C:\\q.exe", "Q"));
                    ZLog::sSetLogMeister(nullptr);
                    const std::vector<string8> expected = {
                        "P7 quillane::native::win::sFirewall_IsEnabled: No INetFwPolicy2",
                        "P7 quillane::native::win::spIsOpen: No INetFwPolicy2",
                        "P7 quillane::native::win::spOpenFor: No INetFwPolicy2"};
                    EXPECT_EQ(expected, log->fLines);
                }
                APTTYPE type;
                APTTYPEQUALIFIER qualifier;
                ASSERT_EQ(S_OK, ::CoGetApartmentType(&type, &qualifier));
                // The process's first single-threaded apartment is its main one.
                const bool multithreaded = type == APTTYPE_MTA;
                EXPECT_EQ(apartment == COINIT_MULTITHREADED, multithreaded) << "type " << type;
                ::CoUninitialize();
            })
            .join();
    }
}

// Removes every rule of one name from the system's firewall when it goes.
class RulesNamed
{
  public:
    explicit RulesNamed(const string8& iName) : fName(iName) {}
    ~RulesNamed() { Remove(); }

    // How many went.
    size_t Remove()
    {
        const std::unique_ptr<FwPlatform> platform = sNewFwPlatform();
        const std::unique_ptr<FwPolicy2> policy = platform->NewPolicy2();
        const std::unique_ptr<FwRules> rules = policy ? policy->GetRules() : nullptr;
        size_t count = 0;
        while (rules && rules->Contains(fName) && rules->Remove(fName))
            ++count;
        return count;
    }

    const string8 fName;
};

TEST(PlatformWin, OpenForThenIsOpenOnTheSystemsFirewall)
{
    // A program that does not exist, under a name no one else uses.
    const string8 suffix =
        std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(::GetTickCount64());
    const string8 program = "C:\\qn_firewall_test_" + suffix + "\\absent.exe";
    RulesNamed rules("qn firewall test " + suffix);

    EXPECT_FALSE(spIsOpen(*sNewFwPlatform(), program));
    const bool opened = spOpenFor(*sNewFwPlatform(), program, rules.fName);
    EXPECT_EQ(opened, spIsOpen(*sNewFwPlatform(), program));
    if (qntest::sRunningUnderWine())
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
