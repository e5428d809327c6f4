// Firewall control against an in-memory firewall of both generations; every missing piece or
// refused operation turns into an answer of false with its log line.

#include "system/Firewall.h"

#include "tests/system/RecordingLog.h"

#include <gtest/gtest.h>

#include <list>
#include <map>

using namespace quillane::system;
using namespace quillane::system::Platform;

namespace
{

template <class T> using P = std::unique_ptr<T>;

const string8 kApp = "C:\\Program Files\\Q\\q.exe", kOther = "C:\\Other\\o.exe";
const string8 kP7 = "P7 quillane::native::win::";

struct MemRule
{
    string8 fName;
    RuleTuple fTuple;
    bool fUnreadable = false; // its remote ports, read last, cannot be read
};

// A new rule's defaults: any protocol, disabled, all profiles, allow, no restrictions.
const MemRule kNewRule = {"", {"", 1, 256, 0, kProfile_All, 1, "*", "*", "*", "*"}};

struct MemApp
{
    string8 fPath, fName;
    int32_t fEnabled = 0;
};

// Both generations' state. An operation whose name is in fFailing fails: creations and reads of
// objects give null, other reads and writes false.
struct MemFirewall
{
    bool fRuleBased = true;
    std::set<string8> fFailing;
    int32_t fInForce = kProfile_Private, fOn = kProfile_Private; // profile masks
    int32_t fTrue = kTrue; // what the policy reads for a profile that is on
    size_t fNonRules = 0;  // elements ahead of the rules that are not rules
    std::list<MemRule> fRules, fNewRules;
    int32_t fProfileOn = kTrue;
    std::map<string8, MemApp> fApps; // by path
    std::list<MemApp> fNewApps;
};

// Plays every object of the interface over one MemFirewall.
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
    Mem(MemFirewall& iFw, MemRule* iRule = nullptr, MemApp* iApp = nullptr)
        : fFw(iFw), fRule(iRule), fApp(iApp), fNext(iFw.fRules.begin())
    {
    }

    bool IsRuleBased() override { return fFw.fRuleBased; }
    P<FwPolicy2> NewPolicy2() override { return Make("NewPolicy2"); }
    P<FwRule> NewRule() override { return Make("NewRule", &fFw.fNewRules.emplace_back(kNewRule)); }
    P<FwMgr> NewMgr() override { return Make("NewMgr"); }
    P<FwAuthorizedApplication> NewAuthorizedApplication() override
    {
        return Make("NewApp", nullptr, &fFw.fNewApps.emplace_back());
    }

    bool GetCurrentProfileTypes(int32_t& o) override { return Read(o, fFw.fInForce, "Types"); }
    bool GetFirewallEnabled(int32_t iType, int32_t& o) override
    {
        return Read(o, fFw.fOn & iType ? fFw.fTrue : 0, "On");
    }
    P<FwRules> GetRules() override { return Make("GetRules"); }
    P<FwRuleEnum> NewEnum() override { return Make("NewEnum"); }
    bool Contains(const string8& iName) override { return Find(iName) != fFw.fRules.end(); }
    bool Remove(const string8& iName) override
    {
        auto found = Find(iName);
        return Ok("Remove") && found != fFw.fRules.end() && (fFw.fRules.erase(found), true);
    }
    bool Add(FwRule& iRule) override
    {
        return Ok("Add") && (fFw.fRules.push_back(*static_cast<Mem&>(iRule).fRule), true);
    }
    ENext Next(P<FwRule>& oRule) override
    {
        if (fSeen++ < fFw.fNonRules)
            return ENext::eNotRule;
        if (fNext == fFw.fRules.end())
            return ENext::eEnd;
        oRule = std::make_unique<Mem>(fFw, &*fNext++);
        return ENext::eRule;
    }

    bool Get(EText iP, string8& o) override
    {
        return o = Text(iP), !(fRule->fUnreadable && iP == EText::eRemotePorts);
    }
    bool Get(ENumber iP, int32_t& o) override { return o = Number(iP), true; }
    bool Set(EText iP, const string8& iValue) override { return Write(Text(iP), iValue); }
    bool Set(ENumber iP, int32_t iValue) override
    {
        if (iP == ENumber::eEnabled)
            return Write(fRule->fTuple.fEnabled, int16_t(iValue), "SetEnabled");
        return Write(Number(iP), iValue);
    }

    P<FwLocalPolicy> GetLocalPolicy() override { return Make("GetLocalPolicy"); }
    P<FwProfile> GetCurrentProfile() override { return Make("GetCurrentProfile"); }
    bool GetFirewallEnabled(int32_t& o) override { return Read(o, fFw.fProfileOn, "On"); }
    P<FwAuthorizedApplications> GetAuthorizedApplications() override { return Make("GetApps"); }
    P<FwAuthorizedApplication> Item(const string8& iPath) override
    {
        return fFw.fApps.count(iPath) ? Make("Item", nullptr, &fFw.fApps[iPath]) : nullptr;
    }
    bool Add(FwAuthorizedApplication& iApp) override
    {
        const MemApp& app = *static_cast<Mem&>(iApp).fApp;
        return Write(fFw.fApps[app.fPath], app, "Add");
    }
    bool GetEnabled(int32_t& o) override { return Read(o, fApp->fEnabled, "GetEnabled"); }
    bool SetEnabled(int32_t iOn) override { return Write(fApp->fEnabled, iOn, "SetEnabled"); }
    bool SetProcessImageFileName(const string8& iP) override { return Write(fApp->fPath, iP); }
    bool SetName(const string8& iName) override { return Write(fApp->fName, iName); }

  private:
    bool Ok(const char* iOperation) const { return fFw.fFailing.count(iOperation) == 0; }
    // A read gives the value even when it fails; a write that fails writes nothing.
    bool Read(int32_t& o, int32_t iValue, const char* iOp) { return o = iValue, Ok(iOp); }
    template <class T> bool Write(T& o, const T& iValue, const char* iOp = "Write")
    {
        return Ok(iOp) && (o = iValue, true);
    }
    P<Mem> Make(const char* iOperation, MemRule* iRule = nullptr, MemApp* iApp = nullptr)
    {
        return Ok(iOperation) ? std::make_unique<Mem>(fFw, iRule, iApp) : nullptr;
    }
    std::list<MemRule>::iterator Find(const string8& iName)
    {
        return std::find_if(fFw.fRules.begin(), fFw.fRules.end(),
                            [&](const MemRule& iRule) { return iRule.fName == iName; });
    }
    string8& Text(EText iP)
    {
        RuleTuple& t = fRule->fTuple;
        string8* const fields[] = {&fRule->fName,       &t.fApplicationName, &t.fLocalAddresses,
                                   &t.fRemoteAddresses, &t.fLocalPorts,      &t.fRemotePorts};
        return *fields[int(iP)];
    }
    int32_t& Number(ENumber iP)
    {
        RuleTuple& t = fRule->fTuple;
        fEnabled = t.fEnabled; // 16 bits wide: read from a copy
        int32_t* const fields[] = {&t.fDirection, &t.fProtocol, &fEnabled, &t.fProfiles,
                                   &t.fAction};
        return *fields[int(iP)];
    }

    MemFirewall& fFw;
    MemRule* fRule; // the rule this object is, if it is one
    MemApp* fApp;   // the entry this object is, if it is one
    std::list<MemRule>::iterator fNext;
    size_t fSeen = 0;
    int32_t fEnabled = 0;
};

// The four rules that open kApp are in force, and the private profile with the firewall on; a
// fresh platform per operation; the log recorded.
class Firewall : public testing::Test
{
  protected:
    Firewall() : fRules(AddOpeningRules(kApp, {"Q"})) { Morvek::ZLog::sSetLogMeister(fLog); }
    ~Firewall() override { Morvek::ZLog::sSetLogMeister(nullptr); }

    bool IsEnabled() { return sIsFirewallEnabled(Fresh()); }
    bool IsOpen() { return sIsFirewallOpenFor(Fresh(), kApp); }
    bool OpenFor() { return sOpenFirewallFor(Fresh(), kApp, "Q"); }
    Mem& Fresh() { return *(fPlatform = std::make_unique<Mem>(fFw)); }

    // Adds the rules under the names in turn; answers the rules of the firewall.
    std::list<MemRule>& AddOpeningRules(const string8& iPath, const std::vector<string8>& iNames)
    {
        for (const RuleTuple& tuple : sOpeningRuleTuples(iPath))
            fFw.fRules.push_back({iNames[fFw.fRules.size() % iNames.size()], tuple});
        return fFw.fRules;
    }

    size_t RulesNamed(const string8& iName) const
    {
        return std::count_if(fRules.begin(), fRules.end(),
                             [&](const MemRule& iRule) { return iRule.fName == iName; });
    }

    MemFirewall fFw;
    std::list<MemRule>& fRules;
    P<Mem> fPlatform;
    const Morvek::ZRef<quillane::test::RecordingLog> fLog = new quillane::test::RecordingLog;
};

TEST_F(Firewall, IsEnabledCountsOnlyProfilesInForce)
{
    const int32_t cases[][4] = {// in force, firewall on, its truth value, answer
                                {kProfile_Private, kProfile_Private, kTrue, true},
                                {kProfile_Private, kProfile_Domain | kProfile_Public, kTrue, false},
                                {kProfile_Domain | kProfile_Public, kProfile_Public, 1, true}};
    for (const auto& c : cases)
    {
        std::tie(fFw.fInForce, fFw.fOn, fFw.fTrue) = std::tie(c[0], c[1], c[2]);
        EXPECT_EQ(c[3] != 0, IsEnabled()) << "profiles in force " << c[0];
    }
}

// All four rules, under any names, each exactly as made; elements that are not rules, and
// rules that cannot be read, count for nothing and the pass goes on after them.
TEST_F(Firewall, IsOpenNeedsAllFourRulesAsMadeUnderAnyNames)
{
    fRules = {{"unreadable", *sOpeningRuleTuples(kApp).begin(), true}};
    fFw.fNonRules = 2;
    AddOpeningRules(kApp, {"one", "two", "", "one"});
    EXPECT_TRUE(IsOpen());
    // Each of the ten properties changed, on each of the four rules in turn.
    const std::list<MemRule> all = fRules;
    for (int x = 0; x < 10; ++x)
    {
        fRules = all;
        Mem rule(fFw, &*std::next(fRules.begin(), 1 + x % 4));
        if (x < 5)
            rule.Set(FwRule::EText(x + 1), x ? "changed" : "c:\\program files\\q\\q.exe");
        else
            rule.Set(FwRule::ENumber(x - 5), 3); // enabled: true, but not as a rule is made
        EXPECT_FALSE(IsOpen()) << "property " << x;
    }
}

TEST_F(Firewall, OpenForReplacesTheRulesOfItsNameOnlyByTheFour)
{
    fRules.clear();
    AddOpeningRules(kApp, {"user's own"});
    AddOpeningRules(kOther, {"Q"}); // the name now goes to another program: these go
    EXPECT_TRUE(OpenFor());
    EXPECT_TRUE(OpenFor());
    EXPECT_EQ(4u, RulesNamed("user's own"));
    fRules.remove_if([](const MemRule& iRule) { return iRule.fName != "Q"; });
    std::vector<RuleTuple> made, expected;
    for (const MemRule& rule : fRules)
        made.push_back(rule.fTuple);
    for (int32_t direction : {1, 2})
    {
        for (int32_t protocol : {6, 17})
            expected.push_back({kApp, direction, protocol, -1, 0x7FFFFFFF, 1, "*", "*", "*", "*"});
    }
    EXPECT_TRUE(expected == made);
}

// A path or name that is not valid UTF-8 answers false before the firewall is asked anything,
// though the firewall holds rules and an entry that open those very bytes: nothing is made or
// removed, in either generation.
TEST_F(Firewall, InvalidUTF8AnswersFalseAndChangesNothing)
{
    const string8 badApp = "C:\\Q\xC0\xAFq.exe", badName = "Q\xFF";
    AddOpeningRules(badApp, {badName});
    fFw.fApps[badApp] = {badApp, badName, kTrue};
    const std::pair<string8, string8> cases[] = {{badApp, "Q"}, {kApp, badName}};
    for (bool ruleBased : {true, false})
    {
        fFw.fRuleBased = ruleBased;
        EXPECT_FALSE(sIsFirewallOpenFor(Fresh(), badApp)) << ruleBased;
        for (const auto& c : cases)
            EXPECT_FALSE(sOpenFirewallFor(Fresh(), c.first, c.second)) << ruleBased << c.second;
    }
    EXPECT_TRUE(fFw.fNewRules.empty() && fFw.fNewApps.empty());
    EXPECT_EQ(4u, RulesNamed("Q"));
    EXPECT_EQ(4u, RulesNamed(badName));
    EXPECT_EQ(1u, fFw.fApps.size());
    EXPECT_TRUE(fLog->fLines.empty());
}

// Every step that fails turns into an answer of false, changing nothing when there is no
// policy; OpenFor answers whether the program is open afterwards, whatever its steps reported.
TEST_F(Firewall, FailingStepsAnswerFalse)
{
    const struct
    {
        const char* fFailing;
        bool fIsEnabled, fOpenFor, fOpenAfterwards;
        size_t fRulesNamedQ;
    } cases[] = {
        {"NewPolicy2", false, false, false, 4}, // the only one logged, by each operation
        {"Types", false, true, true, 4},
        {"On", false, true, true, 4},
        {"GetRules", true, false, false, 4},
        {"NewEnum", true, false, true, 4}, // replaced, but not to be read back
        {"Add", true, false, false, 0},
        {"NewRule", true, false, false, 0},
        {"SetEnabled", true, false, false, 4}, // added, but left disabled
        {"Remove", true, true, true, 8},       // the old rules stay beside the new ones
    };
    fRules.front().fTuple.fEnabled = 0; // the program is closed to begin with
    const std::list<MemRule> closed = fRules;
    for (const auto& c : cases)
    {
        fRules = closed;
        fFw.fFailing = {c.fFailing};
        EXPECT_EQ(c.fIsEnabled, IsEnabled()) << c.fFailing;
        EXPECT_FALSE(IsOpen()) << c.fFailing;
        EXPECT_EQ(c.fOpenFor, OpenFor()) << c.fFailing;
        EXPECT_EQ(c.fRulesNamedQ, RulesNamed("Q")) << c.fFailing;
        fFw.fFailing.clear();
        EXPECT_EQ(c.fOpenAfterwards, IsOpen()) << c.fFailing;
    }
    const std::vector<string8> expected = {kP7 + "sFirewall_IsEnabled: No INetFwPolicy2",
                                           kP7 + "spIsOpen: No INetFwPolicy2",
                                           kP7 + "spOpenFor: No INetFwPolicy2"};
    EXPECT_EQ(expected, fLog->fLines);
}

// The answers for the program's entry as found (its enabled flag, or 1 for none) and a step that
// fails; where a piece is missing, each operation that needed it logs one line. The rules that
// open kApp must not be consulted.
TEST_F(Firewall, LegacyAnswersAndLogLines)
{
    fFw.fRuleBased = false;
    const struct
    {
        const char* fFailing;
        int32_t fEntry;
        bool fIsEnabled, fIsOpen, fOpenFor;
        size_t fLogged;
        const char* fLine;
    } cases[] = {
        {"", 0, true, false, true, 0, ""},              // enables it
        {"SetEnabled", kTrue, true, true, true, 0, ""}, // an enabled entry needs no write
        {"SetEnabled", 0, true, false, false, 0, ""},
        {"GetEnabled", kTrue, true, false, false, 0, ""},
        {"NewApp", 1, true, false, false, 0, ""},
        {"Add", 1, true, false, false, 0, ""},
        {"On", 1, false, false, true, 0, ""},
        {"NewMgr", 0, false, false, false, 3, "sCurrentProfile_LocalPolicy: No mgr"},
        {"GetLocalPolicy", 0, false, false, false, 3, "sCurrentProfile_LocalPolicy: No policy"},
        {"GetCurrentProfile", 0, false, false, false, 3, "sCurrentProfile_LocalPolicy: No profile"},
        {"GetApps", 0, true, false, false, 2,
         "sAuthorizedApplications_CurrentProfile_LocalPolicy: No authorizedApplications"},
        {"", 1, true, false, true, 0, ""}, // adds one
    };
    for (const auto& c : cases)
    {
        fFw.fApps.clear();
        if (c.fEntry != 1)
            fFw.fApps[kApp] = {kApp, "Q", c.fEntry};
        fFw.fFailing = {c.fFailing};
        fLog->fLines.clear();
        EXPECT_EQ(c.fIsEnabled, IsEnabled()) << c.fFailing;
        EXPECT_EQ(c.fIsOpen, IsOpen()) << c.fFailing;
        EXPECT_EQ(c.fOpenFor, OpenFor()) << c.fFailing;
        EXPECT_EQ(std::vector<string8>(c.fLogged, kP7 + c.fLine), fLog->fLines) << c.fFailing;
        fFw.fFailing.clear();
        EXPECT_EQ(c.fOpenFor || c.fEntry == kTrue, IsOpen()) << c.fFailing; // opened, or was
    }
    EXPECT_EQ("Q", fFw.fApps[kApp].fName);
    EXPECT_EQ(kTrue, fFw.fApps[kApp].fEnabled);
    EXPECT_EQ(1u, fFw.fApps.size());
    EXPECT_EQ(4u, fRules.size());
    fFw.fProfileOn = 0;
    EXPECT_FALSE(IsEnabled());
}

} // namespace
