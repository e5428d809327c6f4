// Wire-format tests: version recognition, the version-0 window the peer reads, the extension chain
// with hostile lengths; and golden bytes: every kind of packet the engine sends, in both header
// versions, captured through the send callback on the virtual clock with a seeded random source
// and compared to literals.

#include "tests/utp/engine/utp_test_support.h"

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

namespace
{

const char* const kKinds[] = {"SYN",        "SYN answer", "ACK", "EACK",
                              "keep-alive", "DATA",       "FIN", "RESET"};

struct Golden
{
    int fVersion;
    const char* fHex[8]; // in the order of kKinds
};

void PrintTo(const Golden& iGolden, std::ostream* os)
{
    *os << "version " << iGolden.fVersion;
}

class UtpPacketGolden : public UtpFixture, public ::testing::WithParamInterface<Golden>
{
  protected:
    // The last datagram sent (after a sweep iMs later when iMs >= 0), in hex; empties fSent.
    std::string Take(int64_t iMs = -1)
    {
        if (iMs >= 0)
            Sweep(uint64_t(iMs));
        EXPECT_FALSE(fSent.empty());
        std::string hex;
        for (uint8_t c : fSent.empty() ? std::vector<uint8_t>() : fSent.back().fBytes)
            hex += std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        fSent.clear();
        return hex;
    }

    // One scripted conversation; returns its packets in the order of kKinds.
    std::vector<std::string> Run(int iVersion)
    {
        std::vector<std::string> c;
        Recorder connector;
        UTPSocket* out = Create(kPeer, &connector);
        EXPECT_TRUE(UTP_SetOption(out, UTP_OPTION_VERSION, iVersion));
        UTP_Connect(out);
        c.push_back(Take());

        // The accepting side: a peer's SYN with seq_nr 100 and extension bits.
        const sockaddr_in from = sAddr4("127.0.0.3", 3000);
        PacketDraft p;
        p.fVersion = iVersion;
        p.fType = ST_SYN;
        p.fConnId = iVersion ? 0x1234 : 0x12345678;
        p.fTimestamp = uint32_t(kStartUs - 7000);
        p.fSeqNr = 100;
        p.fFirstExt = EXT_BITS;
        p.fExtensions = {0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_TRUE(Receive(p, from));
        c.push_back(Take());
        EXPECT_EQ(1u, fIncoming.size());
        UTPSocket* in = fIncoming.back();
        const uint16_t ourSeq = in->fSend.fSeqNr;

        p.fType = ST_DATA;
        p.fFirstExt = 0;
        p.fExtensions.clear();
        p.fConnId += 1; // the connecting side sends with its send id
        p.fSeqNr = 101;
        p.fAckNr = uint16_t(ourSeq - 1);
        p.fPayload = "hello";
        p.fTimestamp = uint32_t(kStartUs - 5000);
        EXPECT_TRUE(Receive(p, from));
        EXPECT_TRUE(fSent.empty()); // the ACK waits
        c.push_back(Take(100));

        p.fSeqNr = 103; // 102 is missing
        p.fTimestamp += 100000;
        EXPECT_TRUE(Receive(p, from));
        c.push_back(Take(1));

        p.fSeqNr = 102;
        EXPECT_TRUE(Receive(p, from));
        Take(100);
        EXPECT_EQ("hellohellohello", fIncomingRecorder.fRead);
        c.push_back(Take(29000));

        // The initial window is one version-1 packet (1382 bytes): 3 bytes in flight leave room
        // for another version-0 packet (1379) but not for another version-1 packet.
        fIncomingRecorder.fOutgoing = "abc";
        EXPECT_EQ(iVersion == 0, UTP_Write(in, 3));
        EXPECT_EQ(iVersion == 0 ? CS_CONNECTED : CS_CONNECTED_FULL, UTP_GetState(in));
        c.push_back(Take());

        p.fType = ST_STATE;
        p.fPayload.clear();
        p.fSeqNr = 104; // the next the peer will use
        p.fAckNr = ourSeq;
        Advance(30);
        EXPECT_TRUE(Receive(p, from));
        EXPECT_TRUE(fSent.empty());
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(in));
        UTP_Close(in);
        c.push_back(Take());

        p.fConnId = iVersion ? 0x4321 : 0x87654321; // same peer, unknown id
        p.fSeqNr = 500;
        EXPECT_TRUE(Receive(p, from));
        c.push_back(Take());
        return c;
    }
};

} // namespace

TEST_P(UtpPacketGolden, EveryPacketKind)
{
    const std::vector<std::string> c = Run(GetParam().fVersion);
    ASSERT_EQ(8u, c.size());
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(GetParam().fHex[i], c[i]) << kKinds[i];
}

// Version 1: byte 0 = type * 16 + 1, 20-byte header, timestamps the low 32 bits of the
// microsecond clock, windows in bytes. SYN: seeded receive id 0x255d, initial seq 0x7141. EACK:
// bit 0 (ack_nr + 2) set for 103. FIN: reply delay = the ACK's age. RESET: the stray's id, random
// seq_nr, ack_nr = its seq_nr 500, no timestamps.
// Version 0: 32-bit ids, seconds and microseconds, window in 350-byte units (204 800 -> 0x4a),
// extension and type at bytes 17 and 18, 0x7fffffff as the first reply delay.
INSTANTIATE_TEST_SUITE_P(
    BothVersions, UtpPacketGolden,
    ::testing::Values(Golden{1,
                             {"4102255d0102030400000000003800007141000000080000000000000000",
                              "210212340102030400000000003800006c66006400080000000000000000",
                              "21001234010389a400001388003800006c660065",
                              "2101123401038d8c00001388003800006c660065000401000000",
                              "2100123402bf956c00001770003800006c660066",
                              "0100123402bf956c00001770003800006c660067616263",
                              "1100123402c00a9c01bc9480003800006c670067",
                              "3100432100000000000000000000000074fa01f4"}},
                      Golden{0,
                             {"0000255d00000010000ddf047fffffff4a0204714100000008"
                              "0000000000000000",
                              "1234567800000010000ddf047fffffff4a02026c6600640008"
                              "0000000000000000",
                              "123456780000001100002364000013884a00026c660065",
                              "12345678000000110000274c000013884a01026c660065000401000000",
                              "123456780000002e0001adec000017704a00026c660066",
                              "123456780000002e0001adec000017704a00006c660067616263",
                              "123456780000002e0002231c01bc94804a00016c670067",
                              "8765432100000000000000000000000000000374fa01f4"}}),
    [](const ::testing::TestParamInfo<Golden>& i)
    { return "Version" + std::to_string(i.param.fVersion); });
