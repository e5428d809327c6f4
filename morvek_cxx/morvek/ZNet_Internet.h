// ZNet_Internet: IPv4 names and addresses. ZNetName_Internet is a host text and a port; its
// lookup yields the host's IPv4 addresses: a dotted address is taken as it is (without the
// resolver), an empty host yields nothing, any other text goes to the system's resolver, at most
// 1000 addresses by default. Resolution failures are not reported: the lookup yields nothing.
// Addresses and ports are in host byte order throughout.
//
// The socket layer is started for the process by sNet_Internet_Startup, which the module's
// initialisation calls.

#ifndef QUILLANE_MORVEK_ZNET_INTERNET_H
#define QUILLANE_MORVEK_ZNET_INTERNET_H

#include "morvek/ZFunctionChain.h"
#include "morvek/ZNet.h"

#include <vector>

namespace Morvek
{

// Starts the socket layer for the process (Windows Sockets 2.0 on Windows; nothing elsewhere).
// Once: later calls do nothing. Any thread. Never call it from a static constructor: in a
// library that runs under the operating system's loader lock, where the socket layer must not
// be started. Lookups call it themselves before they touch the socket layer. It is never undone:
// the end of the process releases it (a clean-up at static destruction would run under the
// loader lock as well, and would pull the socket layer from under threads that are never
// stopped).
void sNet_Internet_Startup();

class ZNetAddress_IP4 : public ZNetAddress_Internet
{
  public:
    ZNetAddress_IP4(uint32_t iAddr, uint16_t iPort) : ZNetAddress_Internet(iPort), fAddr(iAddr) {}
    uint32_t GetAddr() const { return fAddr; }

  private:
    const uint32_t fAddr;
};

class ZNetName_Internet : public ZNetName
{
  public:
    struct LookupParam_t
    {
        string8 fName;
        uint16_t fPort;
        uint32_t fMaxAddresses;
    };

    // The makers of lookups; the library registers one, making a ZNetNameLookup_Internet.
    typedef ZFunctionChain_T<ZRef<ZNetNameLookup>, const LookupParam_t&> LookupMaker_t;

    ZNetName_Internet(const string8& iName, uint16_t iPort);

    ZRef<ZNetNameLookup> CreateLookup(uint32_t iMaxAddresses) override;
    // The host followed by ":" and the port.
    string8 AsString() override;

    const string8& GetName() const { return fName; }
    uint16_t GetPort() const { return fPort; }

  private:
    const string8 fName;
    const uint16_t fPort;
};

class ZNetNameLookup_Internet : public ZNetNameLookup
{
  public:
    // The number of addresses collected when no maximum is given.
    static const uint32_t kDefaultMaxAddresses = 1000;

    ZNetNameLookup_Internet(const string8& iName, uint16_t iPort, uint32_t iMaxAddresses);

    void Start() override;
    bool Finished() override;
    void Advance() override;
    ZRef<ZNetAddress> CurrentAddress() override;
    ZRef<ZNetName> CurrentName() override;

  private:
    const string8 fName;
    const uint16_t fPort;
    bool fStarted;
    uint32_t fCountAddressesToReturn; // how many more the resolver may add
    size_t fCurrentIndex;
    std::vector<uint32_t> fAddresses;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZNET_INTERNET_H
