// ZNet_Internet: the IPv4 name, its lookup and the one lookup maker, plus the process-wide
// start-up of the socket layer. The maker is allocated once during static initialisation and
// never deleted (see ZFunctionChain.h).

#include "morvek/ZNet_Internet.h"

#include "morvek/platform/Platform_Address.h"
#include "morvek/platform/Platform_Net.h"

namespace Morvek
{

namespace
{

class Make_NameLookup : public ZNetName_Internet::LookupMaker_t
{
  public:
    Make_NameLookup() : ZNetName_Internet::LookupMaker_t(false) {}

    bool Make(ZRef<ZNetNameLookup>& oResult,
              const ZNetName_Internet::LookupParam_t& iParam) override
    {
        oResult = new ZNetNameLookup_Internet(iParam.fName, iParam.fPort, iParam.fMaxAddresses);
        return true;
    }
};

ZNetName_Internet::LookupMaker_t* const sMake_NameLookup = new Make_NameLookup;

} // anonymous namespace

void sNet_Internet_Startup()
{
    // A function-local static: initialised by the first call, from whichever thread makes it,
    // while concurrent first calls wait for it.
    static const bool sStarted = (Platform::sNet_Startup(), true);
    (void)sStarted;
}

// =============================================================================================

ZNetName_Internet::ZNetName_Internet(const string8& iName, uint16_t iPort)
    : fName(iName), fPort(iPort)
{
}

ZRef<ZNetNameLookup> ZNetName_Internet::CreateLookup(uint32_t iMaxAddresses)
{
    ZRef<ZNetNameLookup> result;
    if (LookupMaker_t::sInvoke(result, LookupParam_t{fName, fPort, iMaxAddresses}))
        return result;
    return ZRef<ZNetNameLookup>();
}

string8 ZNetName_Internet::AsString()
{
    return fName + sStringf(":%d", fPort);
}

// =============================================================================================

ZNetNameLookup_Internet::ZNetNameLookup_Internet(const string8& iName, uint16_t iPort,
                                                 uint32_t iMaxAddresses)
    : fName(iName), fPort(iPort), fStarted(false),
      fCountAddressesToReturn(iMaxAddresses ? iMaxAddresses : kDefaultMaxAddresses),
      fCurrentIndex(0)
{
    // A host with an embedded zero byte names nothing: neither the address parser nor the
    // resolver may see only the part before it.
    if (fName.empty() || fName.find('\0') != string8::npos)
    {
        fStarted = true;
        fCountAddressesToReturn = 0;
        return;
    }
    sNet_Internet_Startup();
    uint32_t address;
    if (Platform::sAddress_ParseDottedIP4(fName.c_str(), address))
    {
        fStarted = true;
        fAddresses.push_back(address);
    }
}

void ZNetNameLookup_Internet::Start()
{
    if (fStarted)
        return;
    fStarted = true;
    const size_t prior = fAddresses.size();
    Platform::sNet_ResolveIP4(fName.c_str(), fCountAddressesToReturn, fAddresses);
    fCountAddressesToReturn -= static_cast<uint32_t>(fAddresses.size() - prior);
}

bool ZNetNameLookup_Internet::Finished()
{
    return !fStarted || fCurrentIndex >= fAddresses.size();
}

void ZNetNameLookup_Internet::Advance()
{
    if (fCurrentIndex < fAddresses.size())
        ++fCurrentIndex;
}

ZRef<ZNetAddress> ZNetNameLookup_Internet::CurrentAddress()
{
    if (fCurrentIndex >= fAddresses.size())
        return ZRef<ZNetAddress>();
    return new ZNetAddress_IP4(fAddresses[fCurrentIndex], fPort);
}

ZRef<ZNetName> ZNetNameLookup_Internet::CurrentName()
{
    return new ZNetName_Internet(fName, fPort);
}

} // namespace Morvek
