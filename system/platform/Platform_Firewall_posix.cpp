// The firewall on POSIX systems. They have no per-program firewall of the kind the firewall
// functions drive (their packet filters know ports and addresses, not programs), so this
// platform offers the rule-based generation with no policy to be had: every operation finds the
// policy missing and answers false through that path.

#include "system/platform/Platform_Firewall.h"

namespace quillane
{
namespace system
{
namespace Platform
{

namespace
{

class FwPlatform_POSIX : public FwPlatform
{
  public:
    bool IsRuleBased() override { return true; }
    std::unique_ptr<FwPolicy2> NewPolicy2() override { return nullptr; }
    std::unique_ptr<FwRule> NewRule() override { return nullptr; }
    std::unique_ptr<FwMgr> NewMgr() override { return nullptr; }
    std::unique_ptr<FwAuthorizedApplication> NewAuthorizedApplication() override
    {
        return nullptr;
    }
};

} // namespace

std::unique_ptr<FwPlatform> sFirewall_Connect()
{
    return std::make_unique<FwPlatform_POSIX>();
}

} // namespace Platform
} // namespace system
} // namespace quillane
