// Wire-format tests: version recognition, header fields in both versions, window units and the
// extension chain with hostile lengths.

#include "utp_test_support.h"

using namespace quillane::UTP;
using utptest::PacketSpec;
using utptest::sBuild;

namespace
{

std::vector<uint8_t> sBytes(std::initializer_list<int> iList, size_t iLength)
{
    std::vector<uint8_t> b(iLength, 0);
    size_t i = 0;
    for (int v : iList)
        b[i++] = uint8_t(v);
    return b;
}

} // namespace

TEST(UtpPacket, RecognisesVersionsAndRejectsShortDatagrams)
{
    PacketId id;
    std::vector<uint8_t> state = sBytes({0x21, 0, 0x12, 0x34}, 20);
    ASSERT_TRUE(sRecognize(state.data(), state.size(), id));
    EXPECT_EQ(1, id.fVersion);
    EXPECT_EQ(ST_STATE, id.fType);
    EXPECT_EQ(0x1234u, id.fConnId);

    // Byte 1 = 3 cannot be a version-1 extension: read as version 0, too short for it.
    std::vector<uint8_t> b1is3 = sBytes({0x21, 3}, 20);
    EXPECT_FALSE(sRecognize(b1is3.data(), b1is3.size(), id));
    b1is3.resize(23);
    b1is3[18] = ST_FIN;
    ASSERT_TRUE(sRecognize(b1is3.data(), b1is3.size(), id));
    EXPECT_EQ(0, id.fVersion);
    EXPECT_EQ(ST_FIN, id.fType);
    EXPECT_EQ(0x21030000u, id.fConnId);

    // High nibble 5 or more is version 0 as well.
    std::vector<uint8_t> high5 = sBytes({0x51, 0}, 20);
    EXPECT_FALSE(sRecognize(high5.data(), high5.size(), id));
    high5.resize(23);
    ASSERT_TRUE(sRecognize(high5.data(), high5.size(), id));
    EXPECT_EQ(0, id.fVersion);

    std::vector<uint8_t> short19 = sBytes({0x01, 0}, 19);
    EXPECT_FALSE(sRecognize(short19.data(), short19.size(), id));
    EXPECT_FALSE(sRecognize(nullptr, 0, id));
}

TEST(UtpPacket, HeaderFieldsRoundTripInBothVersions)
{
    for (int version = 0; version <= 1; ++version)
    {
        PacketSpec p;
        p.fVersion = version;
        p.fType = ST_FIN;
        p.fConnId = version ? 0xBEEF : 0xDEADBEEF;
        p.fTimestamp = 123456789;
        p.fReplyDelay = 0x7FFFFFFF;
        p.fWindow = version ? 0x01020304 : 350 * 7;
        p.fSeqNr = 65535;
        p.fAckNr = 0;
        std::vector<uint8_t> b = sBuild(p);
        ASSERT_EQ(sHeaderSize(version), b.size());
        PacketHeader h;
        sReadHeader(b.data(), version, h);
        EXPECT_EQ(ST_FIN, h.fType);
        EXPECT_EQ(p.fConnId, h.fConnId);
        EXPECT_EQ(p.fTimestamp, h.fTimestamp);
        EXPECT_EQ(p.fReplyDelay, h.fReplyDelay);
        EXPECT_EQ(p.fWindow, h.fWindow);
        EXPECT_EQ(65535, h.fSeqNr);
        EXPECT_EQ(0, h.fAckNr);
        EXPECT_EQ(65535, sReadSeqNr(b.data(), version));
    }
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
    PacketHeader h;
    sReadHeader(b.data(), 0, h);
    EXPECT_EQ(89250u, h.fWindow);
    sWriteWindow(b.data(), 0, 204800);
    sReadHeader(b.data(), 0, h);
    EXPECT_EQ(25900u, h.fWindow);
}

TEST(UtpPacket, ExtensionChainIsBoundsChecked)
{
    size_t payload = 0;
    const uint8_t* mask = nullptr;
    size_t maskLen = 0;
    auto walk = [&](const std::vector<uint8_t>& b, int first)
    { return sWalkExtensions(b.data(), b.size(), 20, first, payload, mask, maskLen); };
    std::vector<uint8_t> hdr(20, 0);

    // Unknown type 7, length 4: skipped, payload after it.
    std::vector<uint8_t> b = hdr;
    b.insert(b.end(), {0, 4, 9, 9, 9, 9, 'x', 'y'});
    ASSERT_EQ(EXT_OK, walk(b, 7));
    EXPECT_EQ(26u, payload);
    EXPECT_EQ(nullptr, mask);

    // Extension bits of length 4 drop the packet; of length 8 they are fine.
    b = hdr;
    b.insert(b.end(), {0, 4, 0, 0, 0, 0});
    EXPECT_EQ(EXT_BAD_BITS_LENGTH, walk(b, EXT_BITS));
    b = hdr;
    b.insert(b.end(), {0, 8, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(EXT_OK, walk(b, EXT_BITS));
    EXPECT_EQ(30u, payload);

    // A chain that claims more than the datagram holds, or leaves half a head.
    b = hdr;
    b.insert(b.end(), {0, 5, 1, 2, 3, 4});
    EXPECT_EQ(EXT_BAD_LENGTH, walk(b, EXT_EACK));
    b = hdr;
    b.insert(b.end(), {1});
    EXPECT_EQ(EXT_BAD_LENGTH, walk(b, 9));
    EXPECT_EQ(EXT_BAD_LENGTH, walk(hdr, EXT_EACK));
    b = hdr;
    b.insert(b.end(), {9, 0}); // next type 9 but nothing follows
    EXPECT_EQ(EXT_BAD_LENGTH, walk(b, EXT_EACK));

    // A long EACK mask is reported whole, after an unknown extension.
    b = hdr;
    b.insert(b.end(), {EXT_EACK, 1, 0});
    b.push_back(0);
    b.push_back(200);
    b.insert(b.end(), 200, 0xFF);
    ASSERT_EQ(EXT_OK, walk(b, 5));
    EXPECT_EQ(&b[25], mask);
    EXPECT_EQ(200u, maskLen);
    EXPECT_EQ(b.size(), payload);
}

TEST(UtpPacket, StampsTimestampsAndReplyDelay)
{
    std::vector<uint8_t> v1(20, 0), v0(23, 0);
    sStamp(v1.data(), 1, 0x1122334455ull, 77);
    EXPECT_EQ(0x22334455u, sLoad32(&v1[4]));
    EXPECT_EQ(77u, sLoad32(&v1[8]));
    sStamp(v0.data(), 0, 12345678901ull, 88);
    EXPECT_EQ(12345u, sLoad32(&v0[4]));
    EXPECT_EQ(678901u, sLoad32(&v0[8]));
    EXPECT_EQ(88u, sLoad32(&v0[12]));
    PacketHeader h;
    sReadHeader(v0.data(), 0, h);
    EXPECT_EQ(uint32_t(12345678901ull), h.fTimestamp);
}

TEST(UtpAddress, ConvertsBothFamiliesWithThePlatformValues)
{
    sockaddr_in sin = utptest::sAddr4("192.0.2.7", 4321);
    PeerAddress a;
    ASSERT_TRUE(PeerAddress_FromSockAddr(a, utptest::sSA(sin), sizeof(sin)));
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7};
    EXPECT_EQ(0, std::memcmp(mapped, a.fAddr, 16));
    EXPECT_EQ(4321, a.fPort);
    EXPECT_TRUE(PeerAddress_IsIPv4(a));
    alignas(8) uint8_t buf[UTP_SOCKADDR_MAX];
    ASSERT_EQ(int(sizeof(sockaddr_in)),
              PeerAddress_ToSockAddr(a, reinterpret_cast<sockaddr*>(buf), sizeof(buf)));
    EXPECT_EQ(0, std::memcmp(&sin, buf, sizeof(sin)));

    sockaddr_in6 sin6;
    std::memset(&sin6, 0, sizeof(sin6));
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(80);
    sin6.sin6_flowinfo = 99; // not kept
    inet_pton(AF_INET6, "2001:db8::1", &sin6.sin6_addr);
    PeerAddress b;
    ASSERT_TRUE(PeerAddress_FromSockAddr(b, reinterpret_cast<sockaddr*>(&sin6), sizeof(sin6)));
    EXPECT_FALSE(PeerAddress_IsIPv4(b));
    EXPECT_NE(a, b);
    ASSERT_EQ(int(sizeof(sockaddr_in6)),
              PeerAddress_ToSockAddr(b, reinterpret_cast<sockaddr*>(buf), sizeof(buf)));
    sockaddr_in6 back;
    std::memcpy(&back, buf, sizeof(back));
    EXPECT_EQ(AF_INET6, back.sin6_family);
    EXPECT_EQ(htons(80), back.sin6_port);
    EXPECT_EQ(0u, back.sin6_flowinfo);
    EXPECT_EQ(0, std::memcmp(&sin6.sin6_addr, &back.sin6_addr, 16));
    EXPECT_EQ(0, PeerAddress_ToSockAddr(b, reinterpret_cast<sockaddr*>(buf), 16)); // no room

    // Short or foreign addresses give the zero address and false.
    EXPECT_FALSE(PeerAddress_FromSockAddr(b, utptest::sSA(sin), 8));
    sin.sin_family = AF_UNIX;
    EXPECT_FALSE(PeerAddress_FromSockAddr(b, utptest::sSA(sin), sizeof(sin)));
    EXPECT_FALSE(PeerAddress_FromSockAddr(b, nullptr, 0));
    const PeerAddress zero = {};
    EXPECT_EQ(zero, b);
}
