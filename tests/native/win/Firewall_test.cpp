// Firewall control against an in-memory firewall of both generations: which profiles count,
// which rules make a program open, what opening it leaves behind, and that every missing piece
// or refused operation turns into an answer of false with its log line.

#include "win/Firewall.h"

#include "RecordingLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <map>

using namespace quillane::native::win;
using Morvek::ZRef;
namespace ZLog = Morvek::ZLog;

namespace
{

const string8 kApp = "C:\\Program Files\\Q\\q.exe";
const string8 kOther = "C:\\Other\\o.exe";

// ---------------------------------------------------------------------------------------------
// The in-memory firewall: records, and one class (Mem) that plays every object of the interface
// as a view of them. An operation named in fFailing fails: creations and reads of objects give
// null, other reads and writes false.

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
    // Rules and entries made but not added.
    std::list<MemRule> fNewRules;
    std::list<MemApp> fNewApps;
};

class Mem : public FwPlatform,
            public FwPolicy2,
            public FwRules,
            public FwRuleEnum,
            public FwRule,
            public FwMgr,
            public FwLocalPolicy,
            public FwProfile,
            public FwAuthorizedApplications,
            public FwAuthorizedApplication
{
  public:
    explicit Mem(MemFirewall& iFw, MemRule* iRule = nullptr, MemApp* iApp = nullptr)
        : fFw(iFw), fRule(iRule), fApp(iApp), fNext(iFw.fRules.begin())
    {
    }

    // The platform
    bool IsRuleBased() override { return fFw.fRuleBased; }
    std::unique_ptr<FwPolicy2> NewPolicy2() override { return Make("NewPolicy2"); }
    std::unique_ptr<FwRule> NewRule() override
    {
        // A new rule's defaults: any protocol, disabled, all profiles, allow, no restrictions.
        fFw.fNewRules.push_back({"", {"", 1, 256, 0, kProfile_All, 1, "*", "*", "*", "*"}});
        return Make("NewRule", &fFw.fNewRules.back());
    }
    std::unique_ptr<FwMgr> NewMgr() override { return Make("NewMgr"); }
    std::unique_ptr<FwAuthorizedApplication> NewAuthorizedApplication() override
    {
        fFw.fNewApps.push_back({"", "", 0});
        return Make("NewAuthorizedApplication", nullptr, &fFw.fNewApps.back());
    }

    // The policy, its rules and one pass over them
    bool GetCurrentProfileTypes(int32_t& o) override
    {
        return Read(o, fFw.fCurrentProfiles, "Policy2.CurrentProfileTypes");
    }
    bool GetFirewallEnabled(int32_t iType, int32_t& o) override
    {
        return Read(o, fFw.fEnabled[iType], "Policy2.FirewallEnabled");
    }
    std::unique_ptr<FwRules> GetRules() override { return Make("Policy2.Rules"); }
    std::unique_ptr<FwRuleEnum> NewEnum() override { return Make("Rules.NewEnum"); }
    bool Contains(const string8& iName) override
    {
        return Ok("Rules.Contains") && Find(iName) != fFw.fRules.end();
    }
    bool Remove(const string8& iName) override
    {
        auto found = Find(iName);
        return Ok("Rules.Remove") && found != fFw.fRules.end() && (fFw.fRules.erase(found), true);
    }
    bool Add(FwRule& iRule) override
    {
        return Ok("Rules.Add") && (fFw.fRules.push_back(*static_cast<Mem&>(iRule).fRule), true);
    }
    ENext Next(std::unique_ptr<FwRule>& oRule) override
    {
        if (fNonRulesSeen < fFw.fNonRules)
            return ++fNonRulesSeen, ENext::eNotRule;
        if (fNext == fFw.fRules.end())
            return ENext::eEnd;
        oRule = std::make_unique<Mem>(fFw, &*fNext++);
        return ENext::eRule;
    }

    // A rule
    bool Get(EText iProperty, string8& o) override
    {
        o = Text(iProperty);
        return !fRule->fUnreadable && Ok("Rule.Get");
    }
    bool Get(ENumber iProperty, int32_t& o) override
    {
        o = iProperty == ENumber::eEnabled ? fRule->fTuple.fEnabled : Number(iProperty);
        return !fRule->fUnreadable && Ok("Rule.Get");
    }
    bool Set(EText iProperty, const string8& iValue) override
    {
        return Ok("Rule.Set") && (Text(iProperty) = iValue, true);
    }
    bool Set(ENumber iProperty, int32_t iValue) override
    {
        if (iProperty == ENumber::eEnabled)
            return Ok("Rule.SetEnabled") && (fRule->fTuple.fEnabled = int16_t(iValue), true);
        return Ok("Rule.Set") && (Number(iProperty) = iValue, true);
    }

    // The legacy manager, policy, profile and entries
    std::unique_ptr<FwLocalPolicy> GetLocalPolicy() override { return Make("Mgr.LocalPolicy"); }
    std::unique_ptr<FwProfile> GetCurrentProfile() override
    {
        return Make("LocalPolicy.CurrentProfile");
    }
    bool GetFirewallEnabled(int32_t& o) override
    {
        return Read(o, fFw.fProfileEnabled, "Profile.FirewallEnabled");
    }
    std::unique_ptr<FwAuthorizedApplications> GetAuthorizedApplications() override
    {
        return Make("Profile.AuthorizedApplications");
    }
    std::unique_ptr<FwAuthorizedApplication> Item(const string8& iPath) override
    {
        for (MemApp& app : fFw.fApps)
        {
            if (app.fPath == iPath)
                return std::make_unique<Mem>(fFw, nullptr, &app);
        }
        return nullptr;
    }
    bool Add(FwAuthorizedApplication& iApp) override
    {
        return Ok("Apps.Add") && (fFw.fApps.push_back(*static_cast<Mem&>(iApp).fApp), true);
    }
    bool GetEnabled(int32_t& o) override { return Read(o, fApp->fEnabled, "App.GetEnabled"); }
    bool SetEnabled(int32_t iValue) override { return Ok("App.Set") && (fApp->fEnabled = iValue, true); }
    bool SetProcessImageFileName(const string8& iValue) override
    {
        return Ok("App.Set") && (fApp->fPath = iValue, true);
    }
    bool SetName(const string8& iValue) override { return Ok("App.Set") && (fApp->fName = iValue, true); }

  private:
    bool Ok(const char* iOperation) const { return fFw.fFailing.count(iOperation) == 0; }
    bool Read(int32_t& o, int32_t iValue, const char* iOperation) const
    {
        o = iValue;
        return Ok(iOperation);
    }
    std::unique_ptr<Mem> Make(const char* iOperation, MemRule* iRule = nullptr,
                              MemApp* iApp = nullptr)
    {
        return Ok(iOperation) ? std::make_unique<Mem>(fFw, iRule, iApp) : nullptr;
    }
    std::list<MemRule>::iterator Find(const string8& iName)
    {
        return std::find_if(fFw.fRules.begin(), fFw.fRules.end(),
                            [&](const MemRule& iRule) { return iRule.fName == iName; });
    }
    string8& Text(EText iProperty)
    {
        static string8 RuleTuple::*const kFields[] = {
            nullptr, &RuleTuple::fApplicationName, &RuleTuple::fLocalAddresses,
            &RuleTuple::fRemoteAddresses, &RuleTuple::fLocalPorts, &RuleTuple::fRemotePorts};
        return iProperty == EText::eName ? fRule->fName : fRule->fTuple.*kFields[int(iProperty)];
    }
    int32_t& Number(ENumber iProperty)
    {
        static int32_t RuleTuple::*const kFields[] = {&RuleTuple::fDirection, &RuleTuple::fProtocol,
                                                      nullptr, &RuleTuple::fProfiles,
                                                      &RuleTuple::fAction};
        return fRule->fTuple.*kFields[int(iProperty)];
    }

    MemFirewall& fFw;
    MemRule* fRule; // the rule this object is, if it is one
    MemApp* fApp;   // the entry this object is, if it is one
    std::list<MemRule>::iterator fNext;
    size_t fNonRulesSeen = 0;
};

// ---------------------------------------------------------------------------------------------
// Fixture: one in-memory firewall, a fresh platform per operation, and the log recorded.

class Firewall : public testing::Test
{
  protected:
    void SetUp() override { ZLog::sSetLogMeister(fLog); }
    void TearDown() override { ZLog::sSetLogMeister(nullptr); }

    bool IsEnabled() { return sFirewall_IsEnabled(*std::make_unique<Mem>(fFw)); }
    bool IsOpen(const string8& iPath = kApp) { return spIsOpen(*std::make_unique<Mem>(fFw), iPath); }
    bool OpenFor(const string8& iPath = kApp, const string8& iName = "Q")
    {
        return spOpenFor(*std::make_unique<Mem>(fFw), iPath, iName);
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

    MemFirewall fFw;
    const ZRef<qntest::RecordingLog> fLog = new qntest::RecordingLog;
};

const string8 kCurrentProfileSource = "P7 quillane::native::win::sCurrentProfile_LocalPolicy: ";

// ---------------------------------------------------------------------------------------------
// Rule-based generation

TEST_F(Firewall, IsEnabledCountsOnlyProfilesInForce)
{
    fLog->fThreshold = 8;
    struct Case
    {
        int32_t fInForce;
        std::map<int32_t, int32_t> fEnabled;
        bool fExpected;
    } const cases[] = {
        {kProfile_Private, {{kProfile_Private, kTrue}, {kProfile_Domain, 0}}, true},
        {kProfile_Private, {{kProfile_Domain, kTrue}, {kProfile_Public, kTrue}}, false},
        {kProfile_Domain | kProfile_Public, {{kProfile_Public, 1}}, true},
        {kProfile_All, {{kProfile_Public, kTrue}}, true},
    };
    for (const Case& c : cases)
    {
        fFw.fCurrentProfiles = c.fInForce;
        fFw.fEnabled = c.fEnabled;
        EXPECT_EQ(c.fExpected, IsEnabled()) << "profiles in force " << c.fInForce;
    }
    // Each profile type is traced at priority 8 on the way.
    const string8 trace = "P8 quillane::native::win::spFirewallIsEnabled: iCurrentProfiles: ";
    EXPECT_EQ(trace + "2, iProfile: 4", fLog->fLines[4]);
    EXPECT_EQ(trace + "2147483647, iProfile: 1", fLog->fLines[8]);
}

TEST_F(Firewall, IsOpenNeedsAllFourRulesUnderAnyNames)
{
    AddOpeningRules(kApp, {"one", "two", "", "one"});
    EXPECT_TRUE(IsOpen());
    EXPECT_FALSE(IsOpen(kOther));
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
    fFw.fRules.pop_back(); // the unreadable rule would match, but counts for nothing
    EXPECT_FALSE(IsOpen());
}

TEST_F(Firewall, ARuleChangedByTheUserClosesTheProgram)
{
    const std::vector<std::function<void(RuleTuple&)>> changes = {
        [](RuleTuple& t) { t.fApplicationName = "c:\\program files\\q\\q.exe"; },
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
    std::vector<std::pair<int32_t, int32_t>> order;
    for (const MemRule& rule : fFw.fRules)
    {
        EXPECT_EQ("Q app", rule.fName);
        RuleTuple expected = {kApp, rule.fTuple.fDirection, rule.fTuple.fProtocol, kTrue,
                              kProfile_All, kAction_Allow, "*", "*", "*", "*"};
        EXPECT_TRUE(expected == rule.fTuple);
        order.emplace_back(rule.fTuple.fDirection, rule.fTuple.fProtocol);
    }
    const std::vector<std::pair<int32_t, int32_t>> expectedOrder = {
        {kDirection_In, kProtocol_TCP},
        {kDirection_In, kProtocol_UDP},
        {kDirection_Out, kProtocol_TCP},
        {kDirection_Out, kProtocol_UDP}};
    EXPECT_EQ(expectedOrder, order);
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
    EXPECT_FALSE(OpenFor()) << "Rule.Get"; // the rules are replaced but cannot be read back
    fFw.fFailing = {"Policy2.Rules"};
    EXPECT_FALSE(OpenFor()) << "Policy2.Rules";
    for (const char* failing : {"Policy2.CurrentProfileTypes", "Policy2.FirewallEnabled"})
    {
        fFw.fFailing = {failing};
        EXPECT_FALSE(IsEnabled()) << failing;
    }
    EXPECT_TRUE(fLog->fLines.empty());

    // No policy at all: each operation says so under its own name, and changes nothing.
    fFw.fFailing = {"NewPolicy2"};
    EXPECT_FALSE(IsEnabled());
    EXPECT_FALSE(IsOpen());
    EXPECT_FALSE(OpenFor(kOther, "O"));
    const std::vector<string8> expected = {
        "P7 quillane::native::win::sFirewall_IsEnabled: No INetFwPolicy2",
        "P7 quillane::native::win::spIsOpen: No INetFwPolicy2",
        "P7 quillane::native::win::spOpenFor: No INetFwPolicy2"};
    EXPECT_EQ(expected, fLog->fLines);
    EXPECT_EQ(0u, RulesNamed("O"));
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

TEST_F(LegacyFirewall, IsEnabledAndIsOpenReadTheProfileAndTheEntry)
{
    EXPECT_TRUE(IsEnabled());
    fFw.fProfileEnabled = 0;
    EXPECT_FALSE(IsEnabled());
    EXPECT_FALSE(IsOpen());
    fFw.fApps.push_back({kApp, "Q", 0});
    EXPECT_FALSE(IsOpen());
    fFw.fApps.back().fEnabled = kTrue;
    EXPECT_TRUE(IsOpen());
    EXPECT_FALSE(IsOpen(kOther));
    fFw.fProfileEnabled = kTrue;
    fFw.fFailing = {"App.GetEnabled", "Profile.FirewallEnabled"};
    EXPECT_FALSE(IsOpen());
    EXPECT_FALSE(IsEnabled());
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
    EXPECT_EQ(4u, fFw.fRules.size());
}

TEST_F(LegacyFirewall, OpenForAnswersFalseWhenRefused)
{
    const std::pair<const char*, bool> cases[] = {// the operation, and whether an entry exists
                                                  {"App.GetEnabled", true},
                                                  {"App.Set", true},
                                                  {"NewAuthorizedApplication", false},
                                                  {"Apps.Add", false}};
    for (const auto& c : cases)
    {
        fFw.fApps.clear();
        if (c.second)
            fFw.fApps.push_back({kApp, "Q", 0});
        fFw.fFailing = {c.first};
        EXPECT_FALSE(OpenFor()) << c.first;
        fFw.fFailing.clear();
        EXPECT_FALSE(IsOpen()) << c.first;
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
        EXPECT_EQ(std::vector<string8>(3, c.fLine), fLog->fLines) << c.fFailing;
    }

    // Without the applications list the profile itself still answers for IsEnabled.
    fFw.fFailing = {"Profile.AuthorizedApplications"};
    fLog->fLines.clear();
    EXPECT_TRUE(IsEnabled());
    EXPECT_FALSE(IsOpen());
    EXPECT_FALSE(OpenFor(kOther, "O"));
    const string8 line = "P7 quillane::native::win::"
                         "sAuthorizedApplications_CurrentProfile_LocalPolicy: No authorizedApplications";
    EXPECT_EQ(std::vector<string8>(2, line), fLog->fLines);
    EXPECT_EQ(1u, fFw.fApps.size());
}

} // namespace
