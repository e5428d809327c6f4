// The firewall on Windows, through its published COM interfaces: from major version 6 on the
// policy object and its rules (INetFwPolicy2, INetFwRule), before that the legacy manager and
// the current profile's authorised applications (INetFwMgr, INetFwAuthorizedApplication).
//
// Every object is created in process. Every interface pointer, BSTR and VARIANT is owned by a
// holder that releases or frees it on every path out, exceptions included; a pointer that comes
// back with a failure code is released and treated as absent. A read fails when its result code
// is negative. Texts cross as BSTRs: UTF-8 becomes UTF-16 by sUTF16FromUTF8 (an empty text
// becomes a null BSTR), and a BSTR becomes UTF-8 by sUTF8FromUTF16 over its SysStringLen units
// (a null one becomes the empty text).
//
// The platform object holds the calling thread's COM initialisation (multithreaded) for one
// operation and undoes it only when it succeeded; a thread already in a single-threaded
// apartment gets a failure code and the operation runs in that apartment.

// Defines the firewall's class and interface identifiers in this file (as selectany constants).
#include <initguid.h>

#include "system/platform/Platform_Firewall.h"

#include <windows.h>

#include <netfw.h>
#include <objbase.h>
#include <oleauto.h>

#include <climits>
#include <new>

namespace quillane
{
namespace system
{
namespace Platform
{

using namespace Morvek;

namespace
{

static_assert(sizeof(OLECHAR) == sizeof(UTF16), "UTF-16 texts are the system's wide texts");

// ---------------------------------------------------------------------------------------------
// Holders

// Owns one reference to an interface.
template <class T> class ComHolder
{
  public:
    ComHolder() = default;
    ~ComHolder() { Reset(); }
    ComHolder(ComHolder&& iOther) noexcept : fPointer(iOther.fPointer) { iOther.fPointer = nullptr; }
    ComHolder(const ComHolder&) = delete;
    ComHolder& operator=(const ComHolder&) = delete;
    ComHolder& operator=(ComHolder&&) = delete;

    T* Get() const { return fPointer; }
    T* operator->() const { return fPointer; }

    void Reset()
    {
        if (fPointer)
        {
            T* pointer = fPointer;
            fPointer = nullptr;
            pointer->Release();
        }
    }

    // For an out parameter: whatever was held is released first.
    T** Out()
    {
        Reset();
        return &fPointer;
    }

    // The same out parameter as void**, for creation and QueryInterface.
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }

    // After the call that filled Out(): a failure code drops what came back. True when an
    // interface is held.
    bool Keep(HRESULT iResult)
    {
        if (FAILED(iResult))
            Reset();
        return fPointer != nullptr;
    }

  private:
    T* fPointer = nullptr;
};

// Owns one BSTR (null is "no text").
class BstrHolder
{
  public:
    BstrHolder() = default;
    explicit BstrHolder(const string8& iText) : fBstr(spNew(iText)) {}
    ~BstrHolder() { ::SysFreeString(fBstr); }
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;

    BSTR Get() const { return fBstr; }

    BSTR* Out()
    {
        ::SysFreeString(fBstr);
        fBstr = nullptr;
        return &fBstr;
    }

    string8 ToUTF8() const
    {
        if (!fBstr)
            return string8();
        return sUTF8FromUTF16(reinterpret_cast<const UTF16*>(fBstr), ::SysStringLen(fBstr));
    }

  private:
    static BSTR spNew(const string8& iText)
    {
        if (iText.empty())
            return nullptr;
        const string16 wide = sUTF16FromUTF8(iText);
        if (wide.size() > UINT_MAX / sizeof(OLECHAR))
            throw std::bad_alloc();
        BSTR result = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                                          static_cast<UINT>(wide.size()));
        if (!result)
            throw std::bad_alloc();
        return result;
    }

    BSTR fBstr = nullptr;
};

// Owns one VARIANT, cleared when it goes.
class VariantHolder
{
  public:
    VariantHolder() { ::VariantInit(&fValue); }
    ~VariantHolder() { ::VariantClear(&fValue); }
    VariantHolder(const VariantHolder&) = delete;
    VariantHolder& operator=(const VariantHolder&) = delete;

    VARIANT* Get() { return &fValue; }

    // The interface the element carries, or null (borrowed: the holder keeps the reference).
    IUnknown* Interface() const
    {
        if (V_VT(&fValue) == VT_DISPATCH)
            return V_DISPATCH(&fValue);
        if (V_VT(&fValue) == VT_UNKNOWN)
            return V_UNKNOWN(&fValue);
        return nullptr;
    }

  private:
    VARIANT fValue;
};

// Wraps what a creation or property read gave in W, or gives null when it failed or gave
// nothing.
template <class W, class T> std::unique_ptr<W> spWrap(HRESULT iResult, ComHolder<T>& ioHolder)
{
    if (!ioHolder.Keep(iResult))
        return nullptr;
    return std::make_unique<W>(std::move(ioHolder));
}

template <class W, class T> std::unique_ptr<W> spCreate(REFCLSID iClass, REFIID iInterface)
{
    ComHolder<T> holder;
    const HRESULT result = ::CoCreateInstance(iClass, nullptr, CLSCTX_INPROC_SERVER, iInterface,
                                              holder.OutVoid());
    return spWrap<W>(result, holder);
}

// Stores a property read of type V into oValue when it succeeded.
template <class V> bool spStore(HRESULT iResult, V iValue, int32_t& oValue)
{
    if (FAILED(iResult))
        return false;
    oValue = static_cast<int32_t>(iValue);
    return true;
}

bool spStore(HRESULT iResult, const BstrHolder& iValue, string8& oValue)
{
    if (FAILED(iResult))
        return false;
    oValue = iValue.ToUTF8();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Rule-based generation

class FwRule_Win : public FwRule
{
  public:
    explicit FwRule_Win(ComHolder<INetFwRule> iRule) : fRule(std::move(iRule)) {}

    INetFwRule* Interface() const { return fRule.Get(); }

    bool Get(EText iProperty, string8& oValue) override
    {
        BstrHolder value;
        HRESULT result = E_INVALIDARG;
        switch (iProperty)
        {
        case EText::eName: result = fRule->get_Name(value.Out()); break;
        case EText::eApplicationName: result = fRule->get_ApplicationName(value.Out()); break;
        case EText::eLocalAddresses: result = fRule->get_LocalAddresses(value.Out()); break;
        case EText::eRemoteAddresses: result = fRule->get_RemoteAddresses(value.Out()); break;
        case EText::eLocalPorts: result = fRule->get_LocalPorts(value.Out()); break;
        case EText::eRemotePorts: result = fRule->get_RemotePorts(value.Out()); break;
        }
        return spStore(result, value, oValue);
    }

    bool Get(ENumber iProperty, int32_t& oValue) override
    {
        switch (iProperty)
        {
        case ENumber::eDirection:
        {
            NET_FW_RULE_DIRECTION value = NET_FW_RULE_DIR_IN;
            return spStore(fRule->get_Direction(&value), value, oValue);
        }
        case ENumber::eProtocol:
        {
            LONG value = 0;
            return spStore(fRule->get_Protocol(&value), value, oValue);
        }
        case ENumber::eEnabled:
        {
            VARIANT_BOOL value = VARIANT_FALSE;
            return spStore(fRule->get_Enabled(&value), value, oValue);
        }
        case ENumber::eProfiles:
        {
            LONG value = 0;
            return spStore(fRule->get_Profiles(&value), value, oValue);
        }
        case ENumber::eAction:
        {
            NET_FW_ACTION value = NET_FW_ACTION_BLOCK;
            return spStore(fRule->get_Action(&value), value, oValue);
        }
        }
        return false;
    }

    bool Set(EText iProperty, const string8& iValue) override
    {
        BstrHolder value(iValue);
        HRESULT result = E_INVALIDARG;
        switch (iProperty)
        {
        case EText::eName: result = fRule->put_Name(value.Get()); break;
        case EText::eApplicationName: result = fRule->put_ApplicationName(value.Get()); break;
        case EText::eLocalAddresses: result = fRule->put_LocalAddresses(value.Get()); break;
        case EText::eRemoteAddresses: result = fRule->put_RemoteAddresses(value.Get()); break;
        case EText::eLocalPorts: result = fRule->put_LocalPorts(value.Get()); break;
        case EText::eRemotePorts: result = fRule->put_RemotePorts(value.Get()); break;
        }
        return SUCCEEDED(result);
    }

    bool Set(ENumber iProperty, int32_t iValue) override
    {
        HRESULT result = E_INVALIDARG;
        switch (iProperty)
        {
        case ENumber::eDirection:
            result = fRule->put_Direction(static_cast<NET_FW_RULE_DIRECTION>(iValue));
            break;
        case ENumber::eProtocol: result = fRule->put_Protocol(iValue); break;
        case ENumber::eEnabled: result = fRule->put_Enabled(static_cast<VARIANT_BOOL>(iValue)); break;
        case ENumber::eProfiles: result = fRule->put_Profiles(iValue); break;
        case ENumber::eAction:
            result = fRule->put_Action(static_cast<NET_FW_ACTION>(iValue));
            break;
        }
        return SUCCEEDED(result);
    }

  private:
    ComHolder<INetFwRule> fRule;
};

class FwRuleEnum_Win : public FwRuleEnum
{
  public:
    explicit FwRuleEnum_Win(ComHolder<IEnumVARIANT> iEnum) : fEnum(std::move(iEnum)) {}

    ENext Next(std::unique_ptr<FwRule>& oRule) override
    {
        VariantHolder element;
        if (fEnum->Next(1, element.Get(), nullptr) != S_OK)
            return ENext::eEnd;
        IUnknown* unknown = element.Interface();
        if (!unknown)
            return ENext::eNotRule;
        ComHolder<INetFwRule> rule;
        oRule = spWrap<FwRule_Win>(unknown->QueryInterface(IID_INetFwRule, rule.OutVoid()), rule);
        return oRule ? ENext::eRule : ENext::eNotRule;
    }

  private:
    ComHolder<IEnumVARIANT> fEnum;
};

class FwRules_Win : public FwRules
{
  public:
    explicit FwRules_Win(ComHolder<INetFwRules> iRules) : fRules(std::move(iRules)) {}

    std::unique_ptr<FwRuleEnum> NewEnum() override
    {
        ComHolder<IUnknown> unknown;
        if (!unknown.Keep(fRules->get__NewEnum(unknown.Out())))
            return nullptr;
        ComHolder<IEnumVARIANT> theEnum;
        return spWrap<FwRuleEnum_Win>(unknown->QueryInterface(IID_IEnumVARIANT, theEnum.OutVoid()),
                                      theEnum);
    }

    bool Contains(const string8& iName) override
    {
        BstrHolder name(iName);
        ComHolder<INetFwRule> rule;
        return rule.Keep(fRules->Item(name.Get(), rule.Out()));
    }

    bool Remove(const string8& iName) override
    {
        BstrHolder name(iName);
        return fRules->Remove(name.Get()) == S_OK;
    }

    bool Add(FwRule& iRule) override
    {
        return SUCCEEDED(fRules->Add(static_cast<FwRule_Win&>(iRule).Interface()));
    }

  private:
    ComHolder<INetFwRules> fRules;
};

class FwPolicy2_Win : public FwPolicy2
{
  public:
    explicit FwPolicy2_Win(ComHolder<INetFwPolicy2> iPolicy) : fPolicy(std::move(iPolicy)) {}

    bool GetCurrentProfileTypes(int32_t& oProfileTypes) override
    {
        LONG value = 0;
        return spStore(fPolicy->get_CurrentProfileTypes(&value), value, oProfileTypes);
    }

    bool GetFirewallEnabled(int32_t iProfileType, int32_t& oEnabled) override
    {
        VARIANT_BOOL value = VARIANT_FALSE;
        const HRESULT result =
            fPolicy->get_FirewallEnabled(static_cast<NET_FW_PROFILE_TYPE2>(iProfileType), &value);
        return spStore(result, value, oEnabled);
    }

    std::unique_ptr<FwRules> GetRules() override
    {
        ComHolder<INetFwRules> rules;
        return spWrap<FwRules_Win>(fPolicy->get_Rules(rules.Out()), rules);
    }

  private:
    ComHolder<INetFwPolicy2> fPolicy;
};

// ---------------------------------------------------------------------------------------------
// Legacy generation

class FwAuthorizedApplication_Win : public FwAuthorizedApplication
{
  public:
    explicit FwAuthorizedApplication_Win(ComHolder<INetFwAuthorizedApplication> iApplication)
        : fApplication(std::move(iApplication))
    {
    }

    INetFwAuthorizedApplication* Interface() const { return fApplication.Get(); }

    bool GetEnabled(int32_t& oEnabled) override
    {
        VARIANT_BOOL value = VARIANT_FALSE;
        return spStore(fApplication->get_Enabled(&value), value, oEnabled);
    }

    bool SetEnabled(int32_t iEnabled) override
    {
        return SUCCEEDED(fApplication->put_Enabled(static_cast<VARIANT_BOOL>(iEnabled)));
    }

    bool SetProcessImageFileName(const string8& iPath) override
    {
        BstrHolder path(iPath);
        return SUCCEEDED(fApplication->put_ProcessImageFileName(path.Get()));
    }

    bool SetName(const string8& iName) override
    {
        BstrHolder name(iName);
        return SUCCEEDED(fApplication->put_Name(name.Get()));
    }

  private:
    ComHolder<INetFwAuthorizedApplication> fApplication;
};

class FwAuthorizedApplications_Win : public FwAuthorizedApplications
{
  public:
    explicit FwAuthorizedApplications_Win(ComHolder<INetFwAuthorizedApplications> iApplications)
        : fApplications(std::move(iApplications))
    {
    }

    std::unique_ptr<FwAuthorizedApplication> Item(const string8& iPath) override
    {
        BstrHolder path(iPath);
        ComHolder<INetFwAuthorizedApplication> entry;
        return spWrap<FwAuthorizedApplication_Win>(fApplications->Item(path.Get(), entry.Out()),
                                                   entry);
    }

    bool Add(FwAuthorizedApplication& iApplication) override
    {
        return SUCCEEDED(fApplications->Add(
            static_cast<FwAuthorizedApplication_Win&>(iApplication).Interface()));
    }

  private:
    ComHolder<INetFwAuthorizedApplications> fApplications;
};

class FwProfile_Win : public FwProfile
{
  public:
    explicit FwProfile_Win(ComHolder<INetFwProfile> iProfile) : fProfile(std::move(iProfile)) {}

    bool GetFirewallEnabled(int32_t& oEnabled) override
    {
        VARIANT_BOOL value = VARIANT_FALSE;
        return spStore(fProfile->get_FirewallEnabled(&value), value, oEnabled);
    }

    std::unique_ptr<FwAuthorizedApplications> GetAuthorizedApplications() override
    {
        ComHolder<INetFwAuthorizedApplications> applications;
        return spWrap<FwAuthorizedApplications_Win>(
            fProfile->get_AuthorizedApplications(applications.Out()), applications);
    }

  private:
    ComHolder<INetFwProfile> fProfile;
};

class FwLocalPolicy_Win : public FwLocalPolicy
{
  public:
    explicit FwLocalPolicy_Win(ComHolder<INetFwPolicy> iPolicy) : fPolicy(std::move(iPolicy)) {}

    std::unique_ptr<FwProfile> GetCurrentProfile() override
    {
        ComHolder<INetFwProfile> profile;
        return spWrap<FwProfile_Win>(fPolicy->get_CurrentProfile(profile.Out()), profile);
    }

  private:
    ComHolder<INetFwPolicy> fPolicy;
};

class FwMgr_Win : public FwMgr
{
  public:
    explicit FwMgr_Win(ComHolder<INetFwMgr> iMgr) : fMgr(std::move(iMgr)) {}

    std::unique_ptr<FwLocalPolicy> GetLocalPolicy() override
    {
        ComHolder<INetFwPolicy> policy;
        return spWrap<FwLocalPolicy_Win>(fMgr->get_LocalPolicy(policy.Out()), policy);
    }

  private:
    ComHolder<INetFwMgr> fMgr;
};

// ---------------------------------------------------------------------------------------------
// The platform

// Major version 6 (Vista) or later, tested once per process.
bool spIsVistaOrLater()
{
    static const bool sResult = [] {
        OSVERSIONINFOEXA info;
        ::ZeroMemory(&info, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;
        info.dwMajorVersion = 6;
        const DWORDLONG condition = ::VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
        return ::VerifyVersionInfoA(&info, VER_MAJORVERSION, condition) != FALSE;
    }();
    return sResult;
}

class FwPlatform_Win : public FwPlatform
{
  public:
    FwPlatform_Win() : fInitialized(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~FwPlatform_Win() override
    {
        if (SUCCEEDED(fInitialized))
            ::CoUninitialize();
    }
    FwPlatform_Win(const FwPlatform_Win&) = delete;
    FwPlatform_Win& operator=(const FwPlatform_Win&) = delete;

    bool IsRuleBased() override { return spIsVistaOrLater(); }

    std::unique_ptr<FwPolicy2> NewPolicy2() override
    {
        return spCreate<FwPolicy2_Win, INetFwPolicy2>(CLSID_NetFwPolicy2, IID_INetFwPolicy2);
    }

    std::unique_ptr<FwRule> NewRule() override
    {
        return spCreate<FwRule_Win, INetFwRule>(CLSID_NetFwRule, IID_INetFwRule);
    }

    std::unique_ptr<FwMgr> NewMgr() override
    {
        return spCreate<FwMgr_Win, INetFwMgr>(CLSID_NetFwMgr, IID_INetFwMgr);
    }

    std::unique_ptr<FwAuthorizedApplication> NewAuthorizedApplication() override
    {
        return spCreate<FwAuthorizedApplication_Win, INetFwAuthorizedApplication>(
            CLSID_NetFwAuthorizedApplication, IID_INetFwAuthorizedApplication);
    }

  private:
    const HRESULT fInitialized;
};

} // namespace

std::unique_ptr<FwPlatform> sFirewall_Connect()
{
    return std::make_unique<FwPlatform_Win>();
}

} // namespace Platform
} // namespace system
} // namespace quillane
