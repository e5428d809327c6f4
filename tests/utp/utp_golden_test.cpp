// Golden bytes: every kind of packet the engine sends, in both header versions, captured through
// the send callback on the virtual clock with a seeded random source and compared to literals.

#include "tests/utp/utp_test_support.h"

using namespace quillane::test;

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

class UtpGolden : public UtpFixture, public ::testing::WithParamInterface<Golden>
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
        const uint16_t ourSeq = in->fSeqNr;

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

TEST_P(UtpGolden, EveryPacketKind)
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
    BothVersions, UtpGolden,
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
