// Peer address tests: hostile socket addresses.

#include "tests/utp/engine/utp_test_support.h"

using namespace quillane::test;

// The round trip of both families is in every transfer test (IPv6 has its own row); here the
// cases no transfer meets: no room, short or foreign addresses (the zero address and false).
TEST(UtpPeerAddress, ShortOrForeignAddressesAreRefused)
{
    sockaddr_in6 sin6;
    std::memset(&sin6, 0, sizeof(sin6));
    sin6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::1", &sin6.sin6_addr);
    PeerAddress a;
    ASSERT_TRUE(PeerAddress_FromSockAddr(a, reinterpret_cast<sockaddr*>(&sin6), sizeof(sin6)));
    alignas(8) uint8_t buf[UTP_SOCKADDR_MAX];
    EXPECT_EQ(0, PeerAddress_ToSockAddr(a, reinterpret_cast<sockaddr*>(buf), 16));
    sockaddr_in sin = sAddr4("192.0.2.7", 4321);
    EXPECT_FALSE(PeerAddress_FromSockAddr(a, sSA(sin), 8));
    sin.sin_family = AF_UNIX;
    EXPECT_FALSE(PeerAddress_FromSockAddr(a, sSA(sin), sizeof(sin)));
    EXPECT_FALSE(PeerAddress_FromSockAddr(a, nullptr, 0));
    EXPECT_EQ(PeerAddress(), a);
}
