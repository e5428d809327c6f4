// The Win32 firewall file on the system the tests run on: each firewall object is asked for in
// process as its own interface; a refused creation of the policy becomes an answer of false with
// its log line, in either kind of apartment, which the firewall leaves as it was; opening the
// system's firewall for a program and finding it open agree.

#include "system/platform/Platform_Firewall.h"

#include "system/Firewall.h"
#include "system/platform/Platform_Elevation.h"
#include "tests/support/platform/Platform_TestOS.h"
#include "tests/system/RecordingLog.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h> // the firewall's class and interface identifiers, defined here too

#include <netfw.h>
#include <objbase.h>

#include <thread>

using namespace quillane::system;
using namespace quillane::system::Platform;

namespace
{

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
        const std::unique_ptr<FwPlatform> platform = sFirewall_Connect();
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
        EXPECT_FALSE(sIsFirewallEnabled(*sFirewall_Connect()));
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

TEST(PlatformFirewallWin, FirewallObjectsAreAskedForInProcessAndARefusalAnswersFalse)
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
        const std::unique_ptr<FwPolicy2> policy = sFirewall_Connect()->NewPolicy2();
        const std::unique_ptr<FwRules> rules = policy ? policy->GetRules() : nullptr;
        size_t count = 0;
        while (rules && rules->Contains(fName) && rules->Remove(fName))
            ++count;
        return count;
    }
};

TEST(PlatformFirewallWin, OpenForThenIsOpenOnTheSystemsFirewall)
{
    // A program that does not exist, under a name no one else uses.
    const string8 suffix =
        std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(::GetTickCount64());
    const string8 program = "C:\\qn_firewall_test_" + suffix + "\\absent.exe";
    RulesNamed rules{"qn firewall test " + suffix};

    EXPECT_FALSE(sIsFirewallOpenFor(*sFirewall_Connect(), program));
    const bool opened = sOpenFirewallFor(*sFirewall_Connect(), program, rules.fName);
    EXPECT_EQ(opened, sIsFirewallOpenFor(*sFirewall_Connect(), program));
    if (quillane::test::Platform::sTestOS_RunningUnderWine())
    {
        GTEST_SKIP() << "needs real Windows: Wine's firewall objects are stubs that return "
                        "E_NOTIMPL (checked only that the answers agree)";
    }
    if (!sElevation_IsAdministrator())
        GTEST_SKIP() << "needs administrator rights to change the firewall";
    EXPECT_TRUE(opened);
    EXPECT_TRUE(sOpenFirewallFor(*sFirewall_Connect(), program, rules.fName));
    EXPECT_EQ(4u, rules.Remove());
    EXPECT_FALSE(sIsFirewallOpenFor(*sFirewall_Connect(), program));
}

} // namespace
