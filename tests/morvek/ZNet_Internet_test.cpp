// IPv4 name lookup: dotted addresses without the resolver, names through it (localhost, a name
// under the reserved .invalid domain), the empty host, the address cap and the cursor's ends.
// No outside network is needed.

#include "morvek/ZNet_Internet.h"

#include <gtest/gtest.h>

using namespace Morvek;

namespace
{

// Every address the lookup yields, walked as the connect path walks it.
std::vector<uint32_t> sWalk(const ZRef<ZNetNameLookup>& iLookup, uint16_t iPort)
{
    std::vector<uint32_t> result;
    for (iLookup->Start(); !iLookup->Finished(); iLookup->Advance())
    {
        const ZRef<ZNetAddress> address = iLookup->CurrentAddress();
        if (const ZNetAddress_IP4* ip4 = dynamic_cast<const ZNetAddress_IP4*>(address.Get()))
        {
            EXPECT_EQ(iPort, ip4->GetPort());
            result.push_back(ip4->GetAddr());
        }
        else
            ADD_FAILURE() << "not an IPv4 address";
    }
    return result;
}

// Counted objects live on the heap.
ZRef<ZNetNameLookup> sLookup(const string8& iHost, uint16_t iPort, uint32_t iMax = 0)
{
    return ZRef<ZNetName>(new ZNetName_Internet(iHost, iPort))->CreateLookup(iMax);
}

} // anonymous namespace

TEST(ZNet_Internet, DottedAddressNeedsNoResolver)
{
    const ZRef<ZNetNameLookup> lookup = sLookup("127.0.0.1", 7);
    ASSERT_TRUE(lookup);
    EXPECT_FALSE(lookup->Finished()) << "started when made";
    EXPECT_EQ(std::vector<uint32_t>{0x7F000001}, sWalk(lookup, 7));

    // The parser's own forms are accepted as it accepts them.
    EXPECT_EQ(std::vector<uint32_t>{0x0A000002}, sWalk(sLookup("10.2", 1), 1));

    // Advancing past the end stays at the end.
    lookup->Start();
    lookup->Advance();
    lookup->Advance();
    EXPECT_TRUE(lookup->Finished());
    EXPECT_FALSE(lookup->CurrentAddress());
    // The name as text, its port unsigned.
    EXPECT_EQ("127.0.0.1:7", lookup->CurrentName()->AsString());
    EXPECT_EQ(":65535", sLookup("", 65535)->CurrentName()->AsString());
}

TEST(ZNet_Internet, NamesGoToTheResolver)
{
    const ZRef<ZNetNameLookup> lookup = sLookup("localhost", 80);
    EXPECT_TRUE(lookup->Finished()) << "not started yet";
    const std::vector<uint32_t> addresses = sWalk(lookup, 80);
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(0x7F000001u, addresses[0]);

    // The broadcast address is the parser's failure value: the resolver answers for it.
    const ZRef<ZNetNameLookup> broadcast = sLookup("255.255.255.255", 1);
    EXPECT_TRUE(broadcast->Finished());
    EXPECT_EQ(std::vector<uint32_t>{0xFFFFFFFF}, sWalk(broadcast, 1));

    // A maximum of 1 keeps a resolved name to one address.
    EXPECT_EQ(1u, sWalk(sLookup("localhost", 5, 1), 5).size());
}

TEST(ZNet_Internet, UnresolvableEmptyAndMalformedHostsYieldNothing)
{
    for (const string8& host :
         {string8("no-such-host.invalid"), string8(), string8("127.0.0.1\0junk", 14)})
    {
        const ZRef<ZNetNameLookup> lookup = sLookup(host, 9);
        lookup->Start();
        EXPECT_TRUE(lookup->Finished()) << host;
        EXPECT_FALSE(lookup->CurrentAddress()) << host;
    }
    EXPECT_TRUE(sLookup("", 9)->Finished()) << "at once";
}
