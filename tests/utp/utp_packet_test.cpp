// Wire-format tests (what the engine writes is pinned by the golden bytes): version recognition,
// the version-0 window the peer reads, the extension chain with hostile lengths, and hostile
// peer addresses.

#include "tests/utp/utp_test_support.h"

using namespace quillane::test;

TEST(UtpPacket, RecognisesVersionsAndRejectsShortDatagrams)
{
    struct Row
    {
        std::vector<uint8_t> fStart;
        size_t fLength;
        bool fOk;
        int fVersion, fType;
        uint32_t fId;
    };
    const Row rows[] = {
        {{0x21, 0, 0x12, 0x34}, 20, true, 1, ST_STATE, 0x1234},
        {{0x21, 3}, 20, false, 0, 0, 0}, // byte 1 = 3 is no extension: version 0, too short
        {{0x21, 3}, 23, true, 0, ST_DATA, 0x21030000},
        {{0x51, 0}, 20, false, 0, 0, 0}, // type 5 or more: version 0 as well
        {{0x51, 0}, 23, true, 0, ST_DATA, 0x51000000},
        {{0x01, 0}, 19, false, 0, 0, 0}};
    for (const Row& row : rows)
    {
        std::vector<uint8_t> b(row.fLength, 0);
        std::copy(row.fStart.begin(), row.fStart.end(), b.begin());
        SCOPED_TRACE(::testing::PrintToString(b));
        PacketId id;
        ASSERT_EQ(row.fOk, sRecognize(b.data(), b.size(), id));
        if (!row.fOk)
            continue;
        EXPECT_EQ(row.fVersion, id.fVersion);
        EXPECT_EQ(row.fType, id.fType);
        EXPECT_EQ(row.fId, id.fConnId);
    }
    PacketId id;
    EXPECT_FALSE(sRecognize(nullptr, 0, id));
    // A version-0 window byte counts 350-byte units.
    std::vector<uint8_t> v0(23, 0);
    v0[16] = 255;
    PacketHeader h;
    sReadHeader(v0.data(), 0, h);
    EXPECT_EQ(89250u, h.fWindow);
}

TEST(UtpPacket, ExtensionChainIsBoundsChecked)
{
    struct Row
    {
        int fFirst;
        std::vector<uint8_t> fChain;
        ExtensionResult fResult;
        size_t fPayload;
    };
    const Row rows[] = {
        {7, {0, 4, 9, 9, 9, 9, 'x', 'y'}, EXT_OK, 26},          // unknown: skipped
        {EXT_BITS, {0, 4, 0, 0, 0, 0}, EXT_BAD_BITS_LENGTH, 0}, // bits must be 8 bytes
        {EXT_BITS, {0, 8, 0, 0, 0, 0, 0, 0, 0, 0}, EXT_OK, 30},
        {EXT_EACK, {0, 5, 1, 2, 3, 4}, EXT_BAD_LENGTH, 0}, // beyond the datagram
        {9, {1}, EXT_BAD_LENGTH, 0},                       // half a head
        {EXT_EACK, {}, EXT_BAD_LENGTH, 0},
        {EXT_EACK, {9, 0}, EXT_BAD_LENGTH, 0}}; // next type, nothing after
    size_t payload = 0;
    const uint8_t* mask = nullptr;
    size_t maskLen = 0;
    for (const Row& row : rows)
    {
        std::vector<uint8_t> b(20 + row.fChain.size(), 0);
        std::copy(row.fChain.begin(), row.fChain.end(), b.begin() + 20);
        EXPECT_EQ(row.fResult,
                  sWalkExtensions(b.data(), b.size(), 20, row.fFirst, payload, mask, maskLen));
        if (row.fResult == EXT_OK)
        {
            EXPECT_EQ(row.fPayload, payload);
            EXPECT_EQ(nullptr, mask);
        }
    }
    // An unknown extension announcing a 200-byte EACK, then the mask: reported whole.
    std::vector<uint8_t> b(20 + 5 + 200, 0xFF);
    const uint8_t chain[] = {EXT_EACK, 1, 0, 0, 200};
    std::copy(chain, chain + sizeof chain, b.begin() + 20);
    ASSERT_EQ(EXT_OK, sWalkExtensions(b.data(), b.size(), 20, 5, payload, mask, maskLen));
    EXPECT_EQ(&b[25], mask);
    EXPECT_EQ(200u, maskLen);
    EXPECT_EQ(b.size(), payload);
}

// The round trip of both families is in every transfer test (IPv6 has its own row); here the
// cases no transfer meets: no room, short or foreign addresses (the zero address and false).
TEST(UtpAddress, ShortOrForeignAddressesAreRefused)
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
