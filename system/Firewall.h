// Firewall control, written once over the platform's firewall (platform/Platform_Firewall.h):
// whether the firewall is on, whether a program is let through it, and letting a program through.
//
// A program P is open when the firewall holds, under any names, the four rules of
// sOpeningRuleTuples(P): an enabled allow rule for all profiles, with no address or port
// restriction, for each direction (in, out) and protocol (TCP, UDP). Rules are compared by their
// ten-field tuple; a rule's name is not part of it. On the legacy generation, P is open when its
// authorised-application entry is enabled.
//
// None of these throws for a firewall that is missing, refuses a change or fails a read: each
// answers false and logs at priority 7 where a piece of the firewall is missing. They run on the
// calling thread and block while the firewall service answers.
//
// A program path or name that is not valid UTF-8 (sIsValidUTF8) is answered false before the
// firewall is asked anything: the system takes its texts as UTF-16, and the lenient conversion
// would turn such a text into another one, possibly the path or name of someone else's rules.

#ifndef QUILLANE_SYSTEM_FIREWALL_H
#define QUILLANE_SYSTEM_FIREWALL_H

#include "system/platform/Platform_Firewall.h"

#include <set>

namespace quillane
{
namespace system
{

// Direction, protocol, action, profile and truth constants of the firewall.
enum : int32_t
{
    kDirection_In = 1,
    kDirection_Out = 2,
    kProtocol_TCP = 6,
    kProtocol_UDP = 17,
    kAction_Allow = 1,
    kProfile_Domain = 1,
    kProfile_Private = 2,
    kProfile_Public = 4,
    kProfile_All = 0x7FFFFFFF,
    kTrue = -1
};

// The description of one rule that is compared and created. Ordered field by field in this
// order, texts bytewise; equal when all ten fields are equal.
struct RuleTuple
{
    Morvek::string8 fApplicationName;
    int32_t fDirection;
    int32_t fProtocol;
    int16_t fEnabled; // a truth value: -1 true, 0 false
    int32_t fProfiles;
    int32_t fAction;
    Morvek::string8 fLocalAddresses;
    Morvek::string8 fRemoteAddresses;
    Morvek::string8 fLocalPorts;
    Morvek::string8 fRemotePorts;
};

bool operator<(const RuleTuple& iL, const RuleTuple& iR);
bool operator==(const RuleTuple& iL, const RuleTuple& iR);

typedef std::set<RuleTuple> RuleTuples;

// The four rules that open iExePath, in the order (in, TCP), (in, UDP), (out, TCP), (out, UDP).
RuleTuples sOpeningRuleTuples(const Morvek::string8& iExePath);

// Whether the firewall is on for at least one profile in force (legacy: the current profile).
bool sIsFirewallEnabled(Platform::FwPlatform& iPlatform);

// Whether the firewall lets iExePath through.
bool sIsFirewallOpenFor(Platform::FwPlatform& iPlatform, const Morvek::string8& iExePath);

// Makes the firewall let iExePath through under the display name iName; answers whether it
// does afterwards. Rule-based: replaces every rule named iName by the four rules of
// sOpeningRuleTuples. Legacy: enables the program's entry, or adds one.
bool sOpenFirewallFor(Platform::FwPlatform& iPlatform, const Morvek::string8& iExePath,
                      const Morvek::string8& iName);

} // namespace system
} // namespace quillane

#endif // QUILLANE_SYSTEM_FIREWALL_H
