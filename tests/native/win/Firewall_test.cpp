// Firewall control against an in-memory firewall of both generations: which profiles count,
// which rules make a program open, what opening it leaves behind, and that every missing piece
// or refused operation turns into an answer of false with its log line.

#include "win/Firewall.h"

#include "morvek/ZLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <map>

using namespace quillane::native::win;
using Morvek::ZLog::EPriority;
using Morvek::ZRef;
namespace ZLog = Morvek::ZLog;

namespace
{

const string8 kApp = "C:\\Program Files\\Q\\q.exe";
const string8 kOther = "C:\\Other\\o.exe";

// ---------------------------------------------------------------------------------------------
// The in-memory firewall. Every operation named in fFailing fails (creations give null, reads
// and writes false); the names are those of the interface's operations.

struct MemRule
{
    string8 fName;
    RuleTuple fTuple;
    bool fUnreadable = false; // every read of it fails
};

struct MemApp
{
    string8 fPath;
    string8 fName;
    int32_t fEnabled;
};

struct MemFirewall
{
    bool Fails(const string8& iOperation) const { return fFailing.count(iOperation) != 0; }

    bool fRuleBased = true;
    std::set<string8> fFailing;
    // Rule-based generation.
    int32_t fCurrentProfiles = kProfile_Private;
    std::map<int32_t, int32_t> fEnabled; // per profile type; absent is off
    size_t fNonRules = 0;                // elements ahead of the rules that are not rules
    std::list<MemRule> fRules;
    // Legacy generation.
    int32_t fProfileEnabled = kTrue;
    std::list<MemApp> fApps;
};

// A rule in the collection (fRule points into it) or a new one (owned here until added).
class MemFwRule : public FwRule
{
  public:
    MemFwRule(MemFirewall& iFw, MemRule* iRule) : fFw(iFw), fRule(iRule) {}
    explicit MemFwRule(MemFirewall& iFw) : fFw(iFw), fRule(&fNew)
    {
        // A new rule's defaults: any protocol, disabled, all profiles, allow, no restrictions.
        fNew.fTuple = {"", kDirection_In, 256, 0, kProfile_All, kAction_Allow, "*", "*", "*", "*"};
    }

    bool Get(EText iProperty, string8& oValue) override
    {
        if (fRule->fUnreadable || fFw.Fails("Rule.Get"))
            return false;
        oValue = Text(iProperty);
        return true;
    }
    bool Get(ENumber iProperty, int32_t& oValue) override
    {
        if (fRule->fUnreadable || fFw.Fails("Rule.Get"))
            return false;
        oValue = iProperty == ENumber::eEnabled ? fRule->fTuple.fEnabled : Number(iProperty);
        return true;
    }
    bool Set(EText iProperty, const string8& iValue) override
    {
        if (fFw.Fails("Rule.Set"))
            return false;
        Text(iProperty) = iValue;
        return true;
    }
    bool Set(ENumber iProperty, int32_t iValue) override
    {
        if (fFw.Fails("Rule.Set") || (iProperty == ENumber::eEnabled && fFw.Fails("Rule.SetEnabled")))
            return false;
        if (iProperty == ENumber::eEnabled)
            fRule->fTuple.fEnabled = static_cast<int16_t>(iValue);
        else
            Number(iProperty) = iValue;
        return true;
    }

    const MemRule& Rule() const { return *fRule; }

  private:
    string8& Text(EText iProperty)
    {
        RuleTuple& t = fRule->fTuple;
        switch (iProperty)
        {
        case EText::eName: return fRule->fName;
        case EText::eApplicationName: return t.fApplicationName;
        case EText::eLocalAddresses: return t.fLocalAddresses;
        case EText::eRemoteAddresses: return t.fRemoteAddresses;
        case EText::eLocalPorts: return t.fLocalPorts;
        case EText::eRemotePorts: break;
        }
        return t.fRemotePorts;
    }
    int32_t& Number(ENumber iProperty)
    {
        RuleTuple& t = fRule->fTuple;
        switch (iProperty)
        {
        case ENumber::eDirection: return t.fDirection;
        case ENumber::eProtocol: return t.fProtocol;
        case ENumber::eProfiles: return t.fProfiles;
        case ENumber::eEnabled:
        case ENumber::eAction: break;
        }
        return t.fAction;
    }

    MemFirewall& fFw;
    MemRule fNew;
    MemRule* fRule;
};

class MemFwRuleEnum : public FwRuleEnum
{
  public:
    explicit MemFwRuleEnum(MemFirewall& iFw) : fFw(iFw), fNext(iFw.fRules.begin()) {}
    ENext Next(std::unique_ptr<FwRule>& oRule) override
    {
        if (fNonRulesSeen < fFw.fNonRules)
        {
            ++fNonRulesSeen;
            return ENext::eNotRule;
        }
        if (fNext == fFw.fRules.end())
            return ENext::eEnd;
        oRule = std::make_unique<MemFwRule>(fFw, &*fNext++);
        return ENext::eRule;
    }

  private:
    MemFirewall& fFw;
    size_t fNonRulesSeen = 0;
    std::list<MemRule>::iterator fNext;
};

class MemFwRules : public FwRules
{
  public:
    explicit MemFwRules(MemFirewall& iFw) : fFw(iFw) {}
    std::unique_ptr<FwRuleEnum> NewEnum() override
    {
        return fFw.Fails("Rules.NewEnum") ? nullptr : std::make_unique<MemFwRuleEnum>(fFw);
    }
    bool Contains(const string8& iName) override
    {
        return !fFw.Fails("Rules.Contains") && Find(iName) != fFw.fRules.end();
    }
    bool Remove(const string8& iName) override
    {
        auto found = Find(iName);
        if (fFw.Fails("Rules.Remove") || found == fFw.fRules.end())
            return false;
        fFw.fRules.erase(found);
        return true;
    }
    bool Add(FwRule& iRule) override
    {
        if (fFw.Fails("Rules.Add"))
            return false;
        fFw.fRules.push_back(static_cast<MemFwRule&>(iRule).Rule());
        return true;
    }

  private:
    std::list<MemRule>::iterator Find(const string8& iName)
    {
        return std::find_if(fFw.fRules.begin(), fFw.fRules.end(),
                            [&](const MemRule& iRule) { return iRule.fName == iName; });
    }
    MemFirewall& fFw;
};

class MemFwPolicy2 : public FwPolicy2
{
  public:
    explicit MemFwPolicy2(MemFirewall& iFw) : fFw(iFw) {}
    bool GetCurrentProfileTypes(int32_t& oProfileTypes) override
    {
        oProfileTypes = fFw.fCurrentProfiles;
        return !fFw.Fails("Policy2.CurrentProfileTypes");
    }
    bool GetFirewallEnabled(int32_t iProfileType, int32_t& oEnabled) override
    {
        oEnabled = fFw.fEnabled[iProfileType];
        return !fFw.Fails("Policy2.FirewallEnabled");
    }
    std::unique_ptr<FwRules> GetRules() override
    {
        return fFw.Fails("Policy2.Rules") ? nullptr : std::make_unique<MemFwRules>(fFw);
    }

  private:
    MemFirewall& fFw;
};

class MemFwApp : public FwAuthorizedApplication
{
  public:
    MemFwApp(MemFirewall& iFw, MemApp* iApp) : fFw(iFw), fApp(iApp ? iApp : &fNew) {}
    bool GetEnabled(int32_t& oEnabled) override
    {
        oEnabled = fApp->fEnabled;
        return !fFw.Fails("App.GetEnabled");
    }
    bool SetEnabled(int32_t iEnabled) override { return Write(fApp->fEnabled, iEnabled); }
    bool SetProcessImageFileName(const string8& iPath) override { return Write(fApp->fPath, iPath); }
    bool SetName(const string8& iName) override { return Write(fApp->fName, iName); }
    const MemApp& App() const { return *fApp; }

  private:
    template <class T> bool Write(T& oField, const T& iValue)
    {
        if (fFw.Fails("App.Set"))
            return false;
        oField = iValue;
        return true;
    }
    MemFirewall& fFw;
    MemApp fNew{"", "", 0};
    MemApp* fApp;
};

class MemFwApps : public FwAuthorizedApplications
{
  public:
    explicit MemFwApps(MemFirewall& iFw) : fFw(iFw) {}
    std::unique_ptr<FwAuthorizedApplication> Item(const string8& iPath) override
    {
        for (MemApp& app : fFw.fApps)
        {
            if (app.fPath == iPath)
                return std::make_unique<MemFwApp>(fFw, &app);
        }
        return nullptr;
    }
    bool Add(FwAuthorizedApplication& iApp) override
    {
        if (fFw.Fails("Apps.Add"))
            return false;
        fFw.fApps.push_back(static_cast<MemFwApp&>(iApp).App());
        return true;
    }

  private:
    MemFirewall& fFw;
};

class MemFwProfile : public FwProfile
{
  public:
    explicit MemFwProfile(MemFirewall& iFw) : fFw(iFw) {}
    bool GetFirewallEnabled(int32_t& oEnabled) override
    {
        oEnabled = fFw.fProfileEnabled;
        return !fFw.Fails("Profile.FirewallEnabled");
    }
    std::unique_ptr<FwAuthorizedApplications> GetAuthorizedApplications() override
    {
        return fFw.Fails("Profile.AuthorizedApplications") ? nullptr
                                                           : std::make_unique<MemFwApps>(fFw);
    }

  private:
    MemFirewall& fFw;
};

class MemFwLocalPolicy : public FwLocalPolicy
{
  public:
    explicit MemFwLocalPolicy(MemFirewall& iFw) : fFw(iFw) {}
    std::unique_ptr<FwProfile> GetCurrentProfile() override
    {
        return fFw.Fails("LocalPolicy.CurrentProfile") ? nullptr
                                                       : std::make_unique<MemFwProfile>(fFw);
    }

  private:
    MemFirewall& fFw;
};

class MemFwMgr : public FwMgr
{
  public:
    explicit MemFwMgr(MemFirewall& iFw) : fFw(iFw) {}
    std::unique_ptr<FwLocalPolicy> GetLocalPolicy() override
    {
        return fFw.Fails("Mgr.LocalPolicy") ? nullptr : std::make_unique<MemFwLocalPolicy>(fFw);
    }

  private:
    MemFirewall& fFw;
};

class MemFwPlatform : public FwPlatform
{
  public:
    explicit MemFwPlatform(MemFirewall& iFw) : fFw(iFw) {}
    bool IsRuleBased() override { return fFw.fRuleBased; }
    std::unique_ptr<FwPolicy2> NewPolicy2() override
    {
        return fFw.Fails("NewPolicy2") ? nullptr : std::make_unique<MemFwPolicy2>(fFw);
    }
    std::unique_ptr<FwRule> NewRule() override
    {
        return fFw.Fails("NewRule") ? nullptr : std::make_unique<MemFwRule>(fFw);
    }
    std::unique_ptr<FwMgr> NewMgr() override
    {
        return fFw.Fails("NewMgr") ? nullptr : std::make_unique<MemFwMgr>(fFw);
    }
    std::unique_ptr<FwAuthorizedApplication> NewAuthorizedApplication() override
    {
        return fFw.Fails("NewAuthorizedApplication") ? nullptr
                                                     : std::make_unique<MemFwApp>(fFw, nullptr);
    }

  private:
    MemFirewall& fFw;
};

// Records every log line as "P<priority> <name>: <message>", whatever its priority.
class RecordingMeister : public ZLog::LogMeister
{
  public:
    bool IsEnabled(EPriority, const char*) override { return true; }
    bool IsEnabled(EPriority, const string8&) override { return true; }
    void LogLine(EPriority iPriority, const string8& iName, size_t,
                 const string8& iMessage) override
    {
        fLines.push_back("P" + std::to_string(iPriority) + " " + iName + ": " + iMessage);
    }
    std::vector<string8> fLines;
};

// ---------------------------------------------------------------------------------------------
// Fixture: one in-memory firewall, a fresh platform per operation, and the log recorded.

class Firewall : public testing::Test
{
  protected:
    void SetUp() override { ZLog::sSetLogMeister(fLog); }
    void TearDown() override { ZLog::sSetLogMeister(nullptr); }

    bool IsEnabled()
    {
        MemFwPlatform platform(fFw);
        return sFirewall_IsEnabled(platform);
    }
    bool IsOpen(const string8& iPath = kApp)
    {
        MemFwPlatform platform(fFw);
        return spIsOpen(platform, iPath);
    }
    bool OpenFor(const string8& iPath = kApp, const string8& iName = "Q")
    {
        MemFwPlatform platform(fFw);
        return spOpenFor(platform, iPath, iName);
    }

    // Adds the four rules that open iPath, under the given names.
    void AddOpeningRules(const string8& iPath, const std::vector<string8>& iNames)
    {
        size_t x = 0;
        for (const RuleTuple& tuple : spExpectedTuples(iPath))
            fFw.fRules.push_back({iNames[x++ % iNames.size()], tuple});
    }

    size_t RulesNamed(const string8& iName) const
    {
        return std::count_if(fFw.fRules.begin(), fFw.fRules.end(),
                             [&](const MemRule& iRule) { return iRule.fName == iName; });
    }

    // The lines logged at priority 7 (the detail lines of priority 8 left out).
    std::vector<string8> Priority7Lines() const
    {
        std::vector<string8> result;
        for (const string8& line : fLog->fLines)
        {
            if (line.compare(0, 3, "P7 ") == 0)
                result.push_back(line);
        }
        return result;
    }

    MemFirewall fFw;
    const ZRef<RecordingMeister> fLog = new RecordingMeister;
};

const char kNoPolicy2_IsEnabled[] = "P7 quillane::native::win::sFirewall_IsEnabled: No INetFwPolicy2";
const char kNoPolicy2_IsOpen[] = "P7 quillane::native::win::spIsOpen: No INetFwPolicy2";
const char kNoPolicy2_OpenFor[] = "P7 quillane::native::win::spOpenFor: No INetFwPolicy2";
const string8 kCurrentProfileSource = "P7 quillane::native::win::sCurrentProfile_LocalPolicy: ";

// ---------------------------------------------------------------------------------------------
// Rule-based generation

TEST_F(Firewall, IsEnabledCountsOnlyProfilesInForce)
{
    struct Case
    {
        int32_t fInForce;
        std::map<int32_t, int32_t> fEnabled;
        bool fExpected;
    } const cases[] = {
        {kProfile_Private, {{kProfile_Private, kTrue}, {kProfile_Domain, 0}}, true},
        {kProfile_Private, {{kProfile_Private, 0}, {kProfile_Domain, kTrue}, {kProfile_Public, kTrue}}, false},
        {kProfile_Domain | kProfile_Public, {{kProfile_Public, 1}}, true},
        {kProfile_Domain | kProfile_Private, {{kProfile_Domain, 0}, {kProfile_Private, 0}}, false},
        {0, {{kProfile_Domain, kTrue}, {kProfile_Private, kTrue}, {kProfile_Public, kTrue}}, false},
        {kProfile_All, {{kProfile_Public, kTrue}}, true},
    };
    for (const Case& c : cases)
    {
        fFw.fCurrentProfiles = c.fInForce;
        fFw.fEnabled = c.fEnabled;
        EXPECT_EQ(c.fExpected, IsEnabled()) << "profiles in force " << c.fInForce;
    }
}

TEST_F(Firewall, IsEnabledTracesEachProfileAtPriority8)
{
    fFw.fCurrentProfiles = kProfile_Public;
    fFw.fEnabled = {{kProfile_Public, kTrue}};
    EXPECT_TRUE(IsEnabled());
    const std::vector<string8> expected = {
        "P8 quillane::native::win::spFirewallIsEnabled: iCurrentProfiles: 4, iProfile: 1",
        "P8 quillane::native::win::spFirewallIsEnabled: iCurrentProfiles: 4, iProfile: 2",
        "P8 quillane::native::win::spFirewallIsEnabled: iCurrentProfiles: 4, iProfile: 4"};
    EXPECT_EQ(expected, fLog->fLines);
}

TEST_F(Firewall, IsOpenNeedsAllFourRulesUnderAnyNames)
{
    AddOpeningRules(kApp, {"one", "two", "", "one"});
    EXPECT_TRUE(IsOpen());
    EXPECT_FALSE(IsOpen(kOther));
    EXPECT_FALSE(IsOpen("c:\\program files\\q\\q.exe")) << "paths compare bytewise";

    // Any three are not enough.
    for (size_t missing = 0; missing < 4; ++missing)
    {
        fFw.fRules.clear();
        AddOpeningRules(kApp, {"r"});
        fFw.fRules.erase(std::next(fFw.fRules.begin(), missing));
        EXPECT_FALSE(IsOpen()) << "without rule " << missing;
    }
}

TEST_F(Firewall, IsOpenSkipsElementsItCannotReadAndGoesOn)
{
    fFw.fNonRules = 2;
    fFw.fRules.push_back({"broken", *spExpectedTuples(kApp).begin(), true});
    AddOpeningRules(kApp, {"r"});
    EXPECT_TRUE(IsOpen());
    // An unreadable rule counts for nothing, even when it would match.
    fFw.fRules.pop_back();
    EXPECT_FALSE(IsOpen());
}

TEST_F(Firewall, ARuleChangedByTheUserClosesTheProgram)
{
    const std::vector<std::function<void(RuleTuple&)>> changes = {
        [](RuleTuple& t) { t.fApplicationName = kOther; },
        [](RuleTuple& t) { t.fDirection = 3; },
        [](RuleTuple& t) { t.fProtocol = 256; },
        [](RuleTuple& t) { t.fEnabled = 0; },
        [](RuleTuple& t) { t.fEnabled = 1; }, // true, but not the value a rule is made with
        [](RuleTuple& t) { t.fProfiles = kProfile_Private; },
        [](RuleTuple& t) { t.fAction = 0; },
        [](RuleTuple& t) { t.fLocalAddresses = "LocalSubnet"; },
        [](RuleTuple& t) { t.fRemoteAddresses = "10.0.0.0/8"; },
        [](RuleTuple& t) { t.fLocalPorts = "80"; },
        [](RuleTuple& t) { t.fRemotePorts = "443"; },
    };
    for (size_t x = 0; x < changes.size(); ++x)
    {
        fFw.fRules.clear();
        AddOpeningRules(kApp, {"Q"});
        changes[x](std::next(fFw.fRules.begin(), x % 4)->fTuple);
        EXPECT_FALSE(IsOpen()) << "change " << x;
    }
}

TEST_F(Firewall, OpenForAddsTheFourRulesInOrder)
{
    EXPECT_TRUE(OpenFor(kApp, "Q app"));
    ASSERT_EQ(4u, fFw.fRules.size());
    const std::pair<int32_t, int32_t> order[] = {{kDirection_In, kProtocol_TCP},
                                                 {kDirection_In, kProtocol_UDP},
                                                 {kDirection_Out, kProtocol_TCP},
                                                 {kDirection_Out, kProtocol_UDP}};
    auto rule = fFw.fRules.begin();
    for (const auto& directionProtocol : order)
    {
        EXPECT_EQ("Q app", rule->fName);
        const RuleTuple expected = {kApp, directionProtocol.first, directionProtocol.second,
                                    kTrue, kProfile_All, kAction_Allow, "*", "*", "*", "*"};
        EXPECT_TRUE(expected == rule->fTuple);
        ++rule;
    }
    EXPECT_TRUE(IsOpen());
}

TEST_F(Firewall, OpenForReplacesRulesOfItsNameOnly)
{
    AddOpeningRules(kApp, {"user's own"});
    AddOpeningRules(kOther, {"Q"}); // the name now goes to another program: these go
    EXPECT_TRUE(OpenFor());
    EXPECT_TRUE(OpenFor());
    EXPECT_EQ(4u, RulesNamed("Q"));
    EXPECT_EQ(4u, RulesNamed("user's own"));
    EXPECT_EQ(8u, fFw.fRules.size());
    EXPECT_FALSE(IsOpen(kOther));
}

// The answer is whether the program is open afterwards, whatever the steps reported.
TEST_F(Firewall, OpenForAnswersWhetherTheProgramIsOpenAfterwards)
{
    struct Case
    {
        const char* fFailing;
        bool fExpected;
        size_t fRulesNamedQ;
    } const cases[] = {
        {"Rules.Add", false, 0},
        {"NewRule", false, 0},
        {"Rule.SetEnabled", false, 4}, // added, but left disabled
        {"Rules.Remove", true, 8},     // the old rules stay beside the new ones
        {"Rules.Contains", true, 8},
    };
    for (const Case& c : cases)
    {
        fFw.fRules.clear();
        AddOpeningRules(kApp, {"Q"});
        fFw.fRules.front().fTuple.fEnabled = 0; // the program is closed to begin with
        fFw.fFailing = {c.fFailing};
        EXPECT_EQ(c.fExpected, OpenFor()) << c.fFailing;
        EXPECT_EQ(c.fRulesNamedQ, RulesNamed("Q")) << c.fFailing;
        fFw.fFailing.clear();
        EXPECT_EQ(c.fExpected, IsOpen()) << c.fFailing;
    }
}

TEST_F(Firewall, MissingPolicyPiecesAnswerFalse)
{
    AddOpeningRules(kApp, {"Q"});
    fFw.fEnabled = {{kProfile_Private, kTrue}};
    for (const char* failing : {"Policy2.Rules", "Rules.NewEnum", "Rule.Get"})
    {
        fFw.fFailing = {failing};
        EXPECT_FALSE(IsOpen()) << failing;
    }
    fFw.fFailing = {"Policy2.Rules"};
    EXPECT_FALSE(OpenFor()) << "Policy2.Rules";
    EXPECT_EQ(4u, fFw.fRules.size());
    for (const char* failing : {"Policy2.CurrentProfileTypes", "Policy2.FirewallEnabled"})
    {
        fFw.fFailing = {failing};
        EXPECT_FALSE(IsEnabled()) << failing;
    }
    EXPECT_TRUE(Priority7Lines().empty());

    // No policy at all: each operation says so under its own name.
    fFw.fFailing = {"NewPolicy2"};
    EXPECT_FALSE(IsEnabled());
    EXPECT_FALSE(IsOpen());
    EXPECT_FALSE(OpenFor());
    const std::vector<string8> expected = {kNoPolicy2_IsEnabled, kNoPolicy2_IsOpen,
                                           kNoPolicy2_OpenFor};
    EXPECT_EQ(expected, Priority7Lines());
    EXPECT_EQ(4u, fFw.fRules.size());
}

// ---------------------------------------------------------------------------------------------
// Legacy generation

class LegacyFirewall : public Firewall
{
  protected:
    void SetUp() override
    {
        Firewall::SetUp();
        fFw.fRuleBased = false;
        // Rules of the other generation must not be consulted.
        AddOpeningRules(kApp, {"Q"});
        fFw.fEnabled = {{kProfile_Private, kTrue}};
    }
};

TEST_F(LegacyFirewall, IsEnabledReadsTheCurrentProfile)
{
    EXPECT_TRUE(IsEnabled());
    fFw.fProfileEnabled = 0;
    EXPECT_FALSE(IsEnabled());
    fFw.fProfileEnabled = kTrue;
    fFw.fFailing = {"Profile.FirewallEnabled"};
    EXPECT_FALSE(IsEnabled());
}

TEST_F(LegacyFirewall, IsOpenReadsTheProgramsEntry)
{
    EXPECT_FALSE(IsOpen());
    fFw.fApps.push_back({kApp, "Q", 0});
    EXPECT_FALSE(IsOpen());
    fFw.fApps.back().fEnabled = kTrue;
    EXPECT_TRUE(IsOpen());
    EXPECT_FALSE(IsOpen(kOther));
    fFw.fFailing = {"App.GetEnabled"};
    EXPECT_FALSE(IsOpen());
}

TEST_F(LegacyFirewall, OpenForEnablesOrAddsTheEntry)
{
    // A disabled entry is enabled; an enabled one is left as it is.
    fFw.fApps.push_back({kApp, "old name", 0});
    EXPECT_TRUE(OpenFor(kApp, "Q"));
    EXPECT_EQ(kTrue, fFw.fApps.back().fEnabled);
    fFw.fFailing = {"App.Set"};
    EXPECT_TRUE(OpenFor(kApp, "Q"));
    EXPECT_EQ("old name", fFw.fApps.back().fName);
    ASSERT_EQ(1u, fFw.fApps.size());

    // A missing one is added with path, name and enabled flag.
    fFw.fFailing.clear();
    EXPECT_TRUE(OpenFor(kOther, "O"));
    ASSERT_EQ(2u, fFw.fApps.size());
    EXPECT_EQ(kOther, fFw.fApps.back().fPath);
    EXPECT_EQ("O", fFw.fApps.back().fName);
    EXPECT_EQ(kTrue, fFw.fApps.back().fEnabled);
    EXPECT_TRUE(IsOpen(kOther));
    EXPECT_EQ(4u, fFw.fRules.size());
}

TEST_F(LegacyFirewall, OpenForAnswersFalseWhenRefused)
{
    struct Case
    {
        const char* fFailing;
        int32_t fExisting; // -2: no entry
    } const cases[] = {
        {"App.GetEnabled", 0},
        {"App.Set", 0},
        {"NewAuthorizedApplication", -2},
        {"Apps.Add", -2},
    };
    for (const Case& c : cases)
    {
        fFw.fApps.clear();
        if (c.fExisting != -2)
            fFw.fApps.push_back({kApp, "Q", c.fExisting});
        fFw.fFailing = {c.fFailing};
        EXPECT_FALSE(OpenFor()) << c.fFailing;
        fFw.fFailing.clear();
        EXPECT_FALSE(IsOpen()) << c.fFailing;
    }
}

TEST_F(LegacyFirewall, MissingPiecesAnswerFalseWithTheirLogLines)
{
    struct Case
    {
        const char* fFailing;
        string8 fLine;
    } const cases[] = {
        {"NewMgr", kCurrentProfileSource + "No mgr"},
        {"Mgr.LocalPolicy", kCurrentProfileSource + "No policy"},
        {"LocalPolicy.CurrentProfile", kCurrentProfileSource + "No profile"},
    };
    fFw.fApps.push_back({kApp, "Q", kTrue});
    for (const Case& c : cases)
    {
        fFw.fFailing = {c.fFailing};
        fLog->fLines.clear();
        EXPECT_FALSE(IsEnabled()) << c.fFailing;
        EXPECT_FALSE(IsOpen()) << c.fFailing;
        EXPECT_FALSE(OpenFor()) << c.fFailing;
        EXPECT_EQ(std::vector<string8>(3, c.fLine), Priority7Lines()) << c.fFailing;
    }

    // Without the applications list the profile itself still answers for IsEnabled.
    fFw.fFailing = {"Profile.AuthorizedApplications"};
    fLog->fLines.clear();
    EXPECT_TRUE(IsEnabled());
    EXPECT_FALSE(IsOpen());
    EXPECT_FALSE(OpenFor(kOther, "O"));
    const string8 line = "P7 quillane::native::win::"
                         "sAuthorizedApplications_CurrentProfile_LocalPolicy: No authorizedApplications";
    EXPECT_EQ(std::vector<string8>(2, line), Priority7Lines());
    EXPECT_EQ(1u, fFw.fApps.size());
}

} // namespace
