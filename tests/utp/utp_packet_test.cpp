// Wire-format tests (header writing is pinned by the golden bytes): version recognition, version-0
// window units, the extension chain with hostile lengths, and hostile peer addresses.

#include "utp_test_support.h"

using namespace quillane::UTP::Engine;

namespace
{

std::vector<uint8_t> sBytes(std::initializer_list<int> iList, size_t iLength)
{
    std::vector<uint8_t> b(iLength, 0);
    std::copy(iList.begin(), iList.end(), b.begin());
    return b;
}

} // namespace

TEST(UtpPacket, RecognisesVersionsAndRejectsShortDatagrams)
{
    struct Row
    {
        std::vector<uint8_t> fBytes;
        bool fOk;
        int fVersion, fType;
        uint32_t fId;
    };
    std::vector<uint8_t> v0Fin = sBytes({0x21, 3}, 23);
    v0Fin[18] = ST_FIN;
    const Row rows[] = {
        {sBytes({0x21, 0, 0x12, 0x34}, 20), true, 1, ST_STATE, 0x1234},
        {sBytes({0x21, 3}, 20), false, 0, 0, 0}, // byte 1 = 3 is no extension: version 0, short
        {v0Fin, true, 0, ST_FIN, 0x21030000},
        {sBytes({0x51, 0}, 20), false, 0, 0, 0}, // high nibble 5 or more: version 0 as well
        {sBytes({0x51, 0}, 23), true, 0, ST_DATA, 0x51000000},
        {sBytes({0x01, 0}, 19), false, 0, 0, 0}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(::testing::PrintToString(row.fBytes));
        PacketId id;
        ASSERT_EQ(row.fOk, sRecognize(row.fBytes.data(), row.fBytes.size(), id));
        if (!row.fOk)
            continue;
        EXPECT_EQ(row.fVersion, id.fVersion);
        EXPECT_EQ(row.fType, id.fType);
        EXPECT_EQ(row.fId, id.fConnId);
    }
    PacketId id;
    EXPECT_FALSE(sRecognize(nullptr, 0, id));
}

TEST(UtpPacket, VersionZeroWindowUnits)
{
    // 204 800 bytes -> 586 units -> low 8 bits 74 -> the peer reads 25 900 bytes.
    EXPECT_EQ(74u, sEncodeWindowV0(204800));
    EXPECT_EQ(1u, sEncodeWindowV0(1));
    EXPECT_EQ(0u, sEncodeWindowV0(0));
    EXPECT_EQ(0u, sEncodeWindowV0(0xFFFFFFFF) >> 8); // no overflow in the rounding
    std::vector<uint8_t> b(23, 0);
    b[16] = 255;
    EXPECT_EQ(89250u, utptest::sHeaderOf(b, 0).fWindow);
    b[16] = uint8_t(sEncodeWindowV0(204800));
    EXPECT_EQ(25900u, utptest::sHeaderOf(b, 0).fWindow);
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
        std::vector<uint8_t> b(20, 0);
        b.insert(b.end(), row.fChain.begin(), row.fChain.end());
        EXPECT_EQ(row.fResult,
                  sWalkExtensions(b.data(), b.size(), 20, row.fFirst, payload, mask, maskLen));
        if (row.fResult != EXT_OK)
            continue;
        EXPECT_EQ(row.fPayload, payload);
        EXPECT_EQ(nullptr, mask);
    }
    // A long EACK mask is reported whole, after an unknown extension.
    // Header, an unknown extension announcing an EACK of 200 bytes, then the mask itself.
    std::vector<uint8_t> b(20, 0);
    const uint8_t chain[] = {EXT_EACK, 1, 0, 0, 200};
    b.resize(20 + sizeof chain + 200, 0xFF);
    std::copy(chain, chain + sizeof chain, b.begin() + 20);
    ASSERT_EQ(EXT_OK, sWalkExtensions(b.data(), b.size(), 20, 5, payload, mask, maskLen));
    EXPECT_EQ(&b[25], mask);
    EXPECT_EQ(200u, maskLen);
    EXPECT_EQ(b.size(), payload);
}

// The round trip of both families is in every transfer test (IPv6 has its own row); here the
// cases no transfer meets.
TEST(UtpAddress, FlowInfoDroppedAndShortOrForeignAddressesRefused)
{
    sockaddr_in6 sin6;
    std::memset(&sin6, 0, sizeof(sin6));
    sin6.sin6_family = AF_INET6;
    sin6.sin6_flowinfo = 99; // not kept
    inet_pton(AF_INET6, "2001:db8::1", &sin6.sin6_addr);
    PeerAddress b;
    ASSERT_TRUE(PeerAddress_FromSockAddr(b, reinterpret_cast<sockaddr*>(&sin6), sizeof(sin6)));
    EXPECT_FALSE(PeerAddress_IsIPv4(b));
    alignas(8) uint8_t buf[UTP_SOCKADDR_MAX];
    sockaddr* out = reinterpret_cast<sockaddr*>(buf);
    ASSERT_EQ(int(sizeof(sockaddr_in6)), PeerAddress_ToSockAddr(b, out, sizeof(buf)));
    EXPECT_EQ(0u, reinterpret_cast<sockaddr_in6*>(buf)->sin6_flowinfo);
    EXPECT_EQ(0, PeerAddress_ToSockAddr(b, out, 16)); // no room

    // Short or foreign addresses give the zero address and false.
    sockaddr_in sin = utptest::sAddr4("192.0.2.7", 4321);
    EXPECT_FALSE(PeerAddress_FromSockAddr(b, utptest::sSA(sin), 8));
    sin.sin_family = AF_UNIX;
    EXPECT_FALSE(PeerAddress_FromSockAddr(b, utptest::sSA(sin), sizeof(sin)));
    EXPECT_FALSE(PeerAddress_FromSockAddr(b, nullptr, 0));
    EXPECT_EQ(PeerAddress(), b);
}
