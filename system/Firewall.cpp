// Firewall control over the platform's firewall. Each operation reads what it needs, gives up
// with an answer of false at the first piece that is missing, and logs at priority 7 (never
// written at the module's threshold of 6) where a piece of the firewall it needed is absent.
// Property writes and additions of the rule-based generation report nothing on their own: the
// outcome of sOpenFirewallFor is read back from the rules afterwards. The texts' validity is
// checked first of all, so that a refused text costs no call on the firewall.

#include "system/Firewall.h"

#include "morvek/ZLog.h"

#include <tuple>

namespace quillane
{
namespace system
{

using namespace Morvek;
using namespace Platform;

namespace
{

// The sources of the log lines: the functions' names in the module's first layout, which the
// lines keep so that the log reads as it always has.
const char kName_IsEnabled[] = "quillane::native::win::sFirewall_IsEnabled";
const char kName_IsOpen[] = "quillane::native::win::spIsOpen";
const char kName_OpenFor[] = "quillane::native::win::spOpenFor";
const char kName_ProfileEnabled[] = "quillane::native::win::spFirewallIsEnabled";
const char kName_CurrentProfile[] = "quillane::native::win::sCurrentProfile_LocalPolicy";
const char kName_AuthorizedApplications[] =
    "quillane::native::win::sAuthorizedApplications_CurrentProfile_LocalPolicy";

const char kNoPolicy2[] = "No INetFwPolicy2";

void spLog(ZLog::EPriority iPriority, const char* iName, const char* iText)
{
    if (ZLog::StrimW entry{iPriority, iName})
        entry << iText;
}

auto spFields(const RuleTuple& iT)
{
    return std::tie(iT.fApplicationName, iT.fDirection, iT.fProtocol, iT.fEnabled, iT.fProfiles,
                    iT.fAction, iT.fLocalAddresses, iT.fRemoteAddresses, iT.fLocalPorts,
                    iT.fRemotePorts);
}

RuleTuple spRuleTuple(const string8& iExePath, int32_t iDirection, int32_t iProtocol)
{
    return RuleTuple{iExePath, iDirection, iProtocol, kTrue, kProfile_All, kAction_Allow,
                     "*",      "*",        "*",       "*"};
}

// All ten reads, in tuple order, stopping at the first that fails.
bool spReadRuleTuple(FwRule& iRule, RuleTuple& oTuple)
{
    typedef FwRule::EText T;
    typedef FwRule::ENumber N;
    int32_t enabled = 0;
    const bool ok = iRule.Get(T::eApplicationName, oTuple.fApplicationName) &&
                    iRule.Get(N::eDirection, oTuple.fDirection) &&
                    iRule.Get(N::eProtocol, oTuple.fProtocol) && iRule.Get(N::eEnabled, enabled) &&
                    iRule.Get(N::eProfiles, oTuple.fProfiles) &&
                    iRule.Get(N::eAction, oTuple.fAction) &&
                    iRule.Get(T::eLocalAddresses, oTuple.fLocalAddresses) &&
                    iRule.Get(T::eRemoteAddresses, oTuple.fRemoteAddresses) &&
                    iRule.Get(T::eLocalPorts, oTuple.fLocalPorts) &&
                    iRule.Get(T::eRemotePorts, oTuple.fRemotePorts);
    // The system's truth value is 16 bits wide; the platform hands it over widened.
    oTuple.fEnabled = static_cast<int16_t>(enabled);
    return ok;
}

// Whether every tuple of iExpected is held by some rule of iRules, whatever the rules' names.
bool spAllPresent(FwRules& iRules, RuleTuples iExpected)
{
    std::unique_ptr<FwRuleEnum> theEnum = iRules.NewEnum();
    if (!theEnum)
        return false;
    while (!iExpected.empty())
    {
        std::unique_ptr<FwRule> rule;
        const FwRuleEnum::ENext next = theEnum->Next(rule);
        if (next == FwRuleEnum::ENext::eEnd)
            break;
        RuleTuple tuple;
        if (next == FwRuleEnum::ENext::eRule && rule && spReadRuleTuple(*rule, tuple))
            iExpected.erase(tuple);
    }
    return iExpected.empty();
}

bool spProfileEnabled(FwPolicy2* iPolicy, int32_t iCurrentProfiles, int32_t iProfile)
{
    if (ZLog::StrimW entry{ZLog::ePriority_Debug + 1, kName_ProfileEnabled})
        entry.Writef("iCurrentProfiles: %d, iProfile: %d", iCurrentProfiles, iProfile);
    if (!iPolicy || (iCurrentProfiles & iProfile) != iProfile)
        return false;
    int32_t enabled;
    return iPolicy->GetFirewallEnabled(iProfile, enabled) && enabled != 0;
}

// Every rule named iName goes, whatever program it is for.
void spRemoveNamed(FwRules& iRules, const string8& iName)
{
    while (iRules.Contains(iName) && iRules.Remove(iName))
    {
    }
}

// A new rule with iName and the tuple's application, direction, protocol, enabled flag,
// profiles and action; addresses and ports stay at a new rule's defaults (which are "*").
// The results of the writes and of the addition are not looked at.
void spAddRule(FwPlatform& iPlatform, FwRules& iRules, const string8& iName,
               const RuleTuple& iTuple)
{
    typedef FwRule::EText T;
    typedef FwRule::ENumber N;
    std::unique_ptr<FwRule> rule = iPlatform.NewRule();
    if (!rule)
        return;
    rule->Set(T::eName, iName);
    rule->Set(T::eApplicationName, iTuple.fApplicationName);
    rule->Set(N::eDirection, iTuple.fDirection);
    rule->Set(N::eProtocol, iTuple.fProtocol);
    rule->Set(N::eEnabled, iTuple.fEnabled);
    rule->Set(N::eProfiles, iTuple.fProfiles);
    rule->Set(N::eAction, iTuple.fAction);
    iRules.Add(*rule);
}

// The manager's local policy's current profile, or null; logs the piece that is missing.
std::unique_ptr<FwProfile> spCurrentProfile_LocalPolicy(std::unique_ptr<FwMgr> iMgr)
{
    if (!iMgr)
    {
        spLog(ZLog::ePriority_Debug, kName_CurrentProfile, "No mgr");
        return nullptr;
    }
    std::unique_ptr<FwLocalPolicy> policy = iMgr->GetLocalPolicy();
    if (!policy)
    {
        spLog(ZLog::ePriority_Debug, kName_CurrentProfile, "No policy");
        return nullptr;
    }
    std::unique_ptr<FwProfile> profile = policy->GetCurrentProfile();
    if (!profile)
        spLog(ZLog::ePriority_Debug, kName_CurrentProfile, "No profile");
    return profile;
}

std::unique_ptr<FwAuthorizedApplications>
spAuthorizedApplications_CurrentProfile_LocalPolicy(std::unique_ptr<FwMgr> iMgr)
{
    std::unique_ptr<FwProfile> profile = spCurrentProfile_LocalPolicy(std::move(iMgr));
    if (!profile)
        return nullptr;
    std::unique_ptr<FwAuthorizedApplications> result = profile->GetAuthorizedApplications();
    if (!result)
        spLog(ZLog::ePriority_Debug, kName_AuthorizedApplications, "No authorizedApplications");
    return result;
}

// The rules of a new policy object, or null; logs under iName when there is no policy.
std::unique_ptr<FwRules> spPolicyRules(FwPlatform& iPlatform, const char* iName)
{
    std::unique_ptr<FwPolicy2> policy = iPlatform.NewPolicy2();
    if (!policy)
    {
        spLog(ZLog::ePriority_Debug, iName, kNoPolicy2);
        return nullptr;
    }
    return policy->GetRules();
}

bool spIsFirewallOpenFor_Legacy(FwPlatform& iPlatform, const string8& iExePath)
{
    std::unique_ptr<FwAuthorizedApplications> applications =
        spAuthorizedApplications_CurrentProfile_LocalPolicy(iPlatform.NewMgr());
    if (!applications)
        return false;
    std::unique_ptr<FwAuthorizedApplication> entry = applications->Item(iExePath);
    int32_t enabled;
    return entry && entry->GetEnabled(enabled) && enabled != 0;
}

// True exactly when the program's entry ends up enabled or added.
bool spOpenFirewallFor_Legacy(FwPlatform& iPlatform, const string8& iExePath, const string8& iName)
{
    std::unique_ptr<FwAuthorizedApplications> applications =
        spAuthorizedApplications_CurrentProfile_LocalPolicy(iPlatform.NewMgr());
    if (!applications)
        return false;
    if (std::unique_ptr<FwAuthorizedApplication> entry = applications->Item(iExePath))
    {
        int32_t enabled;
        if (!entry->GetEnabled(enabled))
            return false;
        return enabled != 0 || entry->SetEnabled(kTrue);
    }
    std::unique_ptr<FwAuthorizedApplication> entry = iPlatform.NewAuthorizedApplication();
    if (!entry)
        return false;
    entry->SetProcessImageFileName(iExePath);
    entry->SetName(iName);
    entry->SetEnabled(kTrue);
    return applications->Add(*entry);
}

} // namespace

bool operator<(const RuleTuple& iL, const RuleTuple& iR)
{
    return spFields(iL) < spFields(iR);
}

bool operator==(const RuleTuple& iL, const RuleTuple& iR)
{
    return spFields(iL) == spFields(iR);
}

RuleTuples sOpeningRuleTuples(const string8& iExePath)
{
    RuleTuples result;
    for (int32_t direction : {kDirection_In, kDirection_Out})
    {
        for (int32_t protocol : {kProtocol_TCP, kProtocol_UDP})
            result.insert(spRuleTuple(iExePath, direction, protocol));
    }
    return result;
}

bool sIsFirewallEnabled(FwPlatform& iPlatform)
{
    if (!iPlatform.IsRuleBased())
    {
        std::unique_ptr<FwProfile> profile = spCurrentProfile_LocalPolicy(iPlatform.NewMgr());
        int32_t enabled;
        return profile && profile->GetFirewallEnabled(enabled) && enabled != 0;
    }
    std::unique_ptr<FwPolicy2> policy = iPlatform.NewPolicy2();
    if (!policy)
    {
        spLog(ZLog::ePriority_Debug, kName_IsEnabled, kNoPolicy2);
        return false;
    }
    int32_t current;
    if (!policy->GetCurrentProfileTypes(current))
        return false;
    for (int32_t profile : {kProfile_Domain, kProfile_Private, kProfile_Public})
    {
        if (spProfileEnabled(policy.get(), current, profile))
            return true;
    }
    return false;
}

bool sIsFirewallOpenFor(FwPlatform& iPlatform, const string8& iExePath)
{
    if (!sIsValidUTF8(iExePath))
        return false;
    if (!iPlatform.IsRuleBased())
        return spIsFirewallOpenFor_Legacy(iPlatform, iExePath);
    const RuleTuples expected = sOpeningRuleTuples(iExePath);
    std::unique_ptr<FwRules> rules = spPolicyRules(iPlatform, kName_IsOpen);
    return rules && spAllPresent(*rules, expected);
}

bool sOpenFirewallFor(FwPlatform& iPlatform, const string8& iExePath, const string8& iName)
{
    if (!sIsValidUTF8(iExePath) || !sIsValidUTF8(iName))
        return false;
    if (!iPlatform.IsRuleBased())
        return spOpenFirewallFor_Legacy(iPlatform, iExePath, iName);
    const RuleTuples expected = sOpeningRuleTuples(iExePath);
    std::unique_ptr<FwRules> rules = spPolicyRules(iPlatform, kName_OpenFor);
    if (!rules)
        return false;
    spRemoveNamed(*rules, iName);
    for (const RuleTuple& tuple : expected)
        spAddRule(iPlatform, *rules, iName, tuple);
    // The writes and additions report nothing reliable: the answer is whether the program is
    // open now, exactly as sIsFirewallOpenFor would find it.
    return spAllPresent(*rules, expected);
}

} // namespace system
} // namespace quillane
