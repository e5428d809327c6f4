// Platform layer, firewall facility: the operations that the firewall functions need of the
// system's per-program firewall, in its two generations. Implemented in
// Platform_Firewall_<platform>.cpp, which the build picks; tests implement it in memory.
//
// Rule-based generation: a policy with the profile types in force, a per-profile enabled flag,
// and a collection of rules, each with a name and the ten properties that make up its tuple.
// Legacy generation: a manager whose local policy's current profile has an enabled flag and a
// list of authorised applications keyed by program path.
//
// Ownership: every object is owned by the std::unique_ptr it comes in and stays usable when the
// object it was read from is destroyed; all of them must be destroyed before the FwPlatform
// they came from. A null pointer
// means "absent": the object could not be created or the property could not be read. Reads and
// writes return false when they fail. Texts are UTF-8 here; an empty text stands for the
// system's "no text". Truth values are the system's: 0 is false, anything else true (written as
// -1). Nothing here is shared between threads: a platform object belongs to the thread that made
// it.

#ifndef QUILLANE_SYSTEM_PLATFORM_PLATFORM_FIREWALL_H
#define QUILLANE_SYSTEM_PLATFORM_PLATFORM_FIREWALL_H

#include "morvek/ZStrim.h"

#include <cstdint>
#include <memory>

namespace quillane
{
namespace system
{
namespace Platform
{

using Morvek::string8;

// ---------------------------------------------------------------------------------------------
// Rule-based generation

class FwRule
{
  public:
    enum class EText
    {
        eName,
        eApplicationName,
        eLocalAddresses,
        eRemoteAddresses,
        eLocalPorts,
        eRemotePorts
    };
    // eEnabled carries a truth value; the others are the system's numbers (direction 1 in,
    // 2 out; protocol 6 TCP, 17 UDP; profiles a bit mask; action 1 allow).
    enum class ENumber
    {
        eDirection,
        eProtocol,
        eEnabled,
        eProfiles,
        eAction
    };

    virtual ~FwRule() = default;
    virtual bool Get(EText iProperty, string8& oValue) = 0;
    virtual bool Get(ENumber iProperty, int32_t& oValue) = 0;
    virtual bool Set(EText iProperty, const string8& iValue) = 0;
    virtual bool Set(ENumber iProperty, int32_t iValue) = 0;
};

// A pass over a rule collection.
class FwRuleEnum
{
  public:
    enum class ENext
    {
        eEnd,     // nothing more (or the pass failed)
        eNotRule, // an element that is not a rule; skip it
        eRule     // oRule holds the next rule
    };

    virtual ~FwRuleEnum() = default;
    virtual ENext Next(std::unique_ptr<FwRule>& oRule) = 0;
};

class FwRules
{
  public:
    virtual ~FwRules() = default;
    // A new pass over the collection, or null when none can be had.
    virtual std::unique_ptr<FwRuleEnum> NewEnum() = 0;
    // Whether a rule of this name is found.
    virtual bool Contains(const string8& iName) = 0;
    // Removes one rule of this name; true only when the collection reports plain success.
    virtual bool Remove(const string8& iName) = 0;
    // Adds a rule made by the same platform's NewRule.
    virtual bool Add(FwRule& iRule) = 0;
};

class FwPolicy2
{
  public:
    virtual ~FwPolicy2() = default;
    // The bit mask of the profile types currently in force (1 domain, 2 private, 4 public).
    virtual bool GetCurrentProfileTypes(int32_t& oProfileTypes) = 0;
    // Whether the firewall is on for one profile type (a truth value).
    virtual bool GetFirewallEnabled(int32_t iProfileType, int32_t& oEnabled) = 0;
    virtual std::unique_ptr<FwRules> GetRules() = 0;
};

// ---------------------------------------------------------------------------------------------
// Legacy generation

class FwAuthorizedApplication
{
  public:
    virtual ~FwAuthorizedApplication() = default;
    virtual bool GetEnabled(int32_t& oEnabled) = 0;
    virtual bool SetEnabled(int32_t iEnabled) = 0;
    virtual bool SetProcessImageFileName(const string8& iPath) = 0;
    virtual bool SetName(const string8& iName) = 0;
};

class FwAuthorizedApplications
{
  public:
    virtual ~FwAuthorizedApplications() = default;
    // The entry for a program path, or null when there is none.
    virtual std::unique_ptr<FwAuthorizedApplication> Item(const string8& iPath) = 0;
    // Adds an entry made by the same platform's NewAuthorizedApplication.
    virtual bool Add(FwAuthorizedApplication& iApplication) = 0;
};

class FwProfile
{
  public:
    virtual ~FwProfile() = default;
    virtual bool GetFirewallEnabled(int32_t& oEnabled) = 0;
    virtual std::unique_ptr<FwAuthorizedApplications> GetAuthorizedApplications() = 0;
};

class FwLocalPolicy
{
  public:
    virtual ~FwLocalPolicy() = default;
    virtual std::unique_ptr<FwProfile> GetCurrentProfile() = 0;
};

class FwMgr
{
  public:
    virtual ~FwMgr() = default;
    virtual std::unique_ptr<FwLocalPolicy> GetLocalPolicy() = 0;
};

// ---------------------------------------------------------------------------------------------
// The firewall of this system, for the length of one operation (on Windows it holds the
// thread's COM initialisation).

class FwPlatform
{
  public:
    virtual ~FwPlatform() = default;
    // Which generation this system offers: true for the rule-based one, false for the legacy.
    virtual bool IsRuleBased() = 0;
    virtual std::unique_ptr<FwPolicy2> NewPolicy2() = 0;
    virtual std::unique_ptr<FwRule> NewRule() = 0;
    virtual std::unique_ptr<FwMgr> NewMgr() = 0;
    virtual std::unique_ptr<FwAuthorizedApplication> NewAuthorizedApplication() = 0;
};

// The system's firewall, ready for one operation on the calling thread.
std::unique_ptr<FwPlatform> sFirewall_Connect();

} // namespace Platform
} // namespace system
} // namespace quillane

#endif // QUILLANE_SYSTEM_PLATFORM_PLATFORM_FIREWALL_H
