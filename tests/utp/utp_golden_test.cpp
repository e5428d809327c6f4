// Golden bytes: every kind of packet the engine sends, in both header versions, captured through
// the send callback on the virtual clock with a seeded random source and compared to literals.

#include "utp_test_support.h"

#include <cstdio>

using namespace quillane::UTP::Engine;
using namespace utptest;

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

std::string sHex(const std::vector<uint8_t>& b)
{
    std::string s;
    char buf[4];
    for (uint8_t c : b)
    {
        std::snprintf(buf, sizeof(buf), "%02x", c);
        s += buf;
    }
    return s;
}

class UtpGolden : public UtpFixture, public ::testing::WithParamInterface<Golden>
{
  protected:
    std::string SweepAndTake(uint64_t iMs)
    {
        Advance(iMs);
        UTP_CheckTimeouts();
        return TakeLast();
    }

    std::string TakeLast()
    {
        EXPECT_FALSE(fSent.empty());
        const std::string hex = fSent.empty() ? "" : sHex(fSent.back().fBytes);
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
        c.push_back(TakeLast());

        // The accepting side: a peer's SYN with seq_nr 100 and extension bits.
        const sockaddr_in from = sAddr4("127.0.0.3", 3000);
        PacketDraft syn;
        syn.fVersion = iVersion;
        syn.fType = ST_SYN;
        syn.fConnId = iVersion ? 0x1234 : 0x12345678;
        syn.fTimestamp = uint32_t(kStartUs - 7000);
        syn.fSeqNr = 100;
        syn.fFirstExt = EXT_BITS;
        syn.fExtensions = {0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_TRUE(Receive(syn, from));
        c.push_back(TakeLast());
        EXPECT_EQ(1u, fIncoming.size());
        UTPSocket* in = fIncoming.back();
        const uint16_t ourSeq = in->fSeqNr;

        PacketDraft data = syn;
        data.fType = ST_DATA;
        data.fFirstExt = 0;
        data.fExtensions.clear();
        data.fConnId = syn.fConnId + 1; // the connecting side sends with its send id
        data.fSeqNr = 101;
        data.fAckNr = uint16_t(ourSeq - 1);
        data.fPayload = "hello";
        data.fTimestamp = uint32_t(kStartUs - 5000);
        EXPECT_TRUE(Receive(data, from));
        EXPECT_TRUE(fSent.empty()); // the ACK waits
        c.push_back(SweepAndTake(100));

        data.fSeqNr = 103; // 102 is missing
        data.fTimestamp += 100000;
        EXPECT_TRUE(Receive(data, from));
        c.push_back(SweepAndTake(1));

        data.fSeqNr = 102;
        EXPECT_TRUE(Receive(data, from));
        SweepAndTake(100);
        EXPECT_EQ("hellohellohello", fIncomingRecorder.fRead);
        c.push_back(SweepAndTake(29000));

        // The initial window is one version-1 packet (1382 bytes): 3 bytes in flight leave room
        // for another version-0 packet (1379) but not for another version-1 packet.
        fIncomingRecorder.fOutgoing = "abc";
        EXPECT_EQ(iVersion == 0, UTP_Write(in, 3));
        EXPECT_EQ(iVersion == 0 ? CS_CONNECTED : CS_CONNECTED_FULL, UTP_GetState(in));
        c.push_back(TakeLast());

        PacketDraft ack = data;
        ack.fType = ST_STATE;
        ack.fPayload.clear();
        ack.fSeqNr = 104; // the next the peer will use
        ack.fAckNr = ourSeq;
        Advance(30);
        EXPECT_TRUE(Receive(ack, from));
        EXPECT_TRUE(fSent.empty());
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(in));
        UTP_Close(in);
        c.push_back(TakeLast());

        PacketDraft stray = data; // same peer, unknown id
        stray.fConnId = iVersion ? 0x4321 : 0x87654321;
        stray.fSeqNr = 500;
        EXPECT_TRUE(Receive(stray, from));
        c.push_back(TakeLast());
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
