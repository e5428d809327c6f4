// Golden bytes: every kind of packet the engine sends, in both header versions, captured through
// the send callback on the virtual clock with a seeded random source and compared to literal
// bytes.

#include "utp_test_support.h"

#include <cstdio>

using namespace quillane::UTP;
using namespace utptest;

namespace
{

typedef std::vector<uint8_t> Bytes;

std::string sHex(const Bytes& b)
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

// The packets of one scripted conversation, in order.
struct Capture
{
    Bytes fSyn, fSynAnswer, fAck, fEack, fKeepAlive, fData, fFin, fReset;
};

class UtpGolden : public UtpFixture
{
  protected:
    Capture Run(int iVersion)
    {
        Capture c;
        const sockaddr_in peer = sAddr4("127.0.0.2", 2000);
        Recorder connector;
        UTPSocket* out = Create(peer, &connector);
        EXPECT_TRUE(UTP_SetOption(out, UTP_OPTION_VERSION, iVersion));
        UTP_Connect(out);
        c.fSyn = TakeLast();

        // The accepting side: a peer's SYN with id 0x1234 (0x12345678) and seq_nr 100.
        const sockaddr_in from = sAddr4("127.0.0.3", 3000);
        PacketSpec syn;
        syn.fVersion = iVersion;
        syn.fType = ST_SYN;
        syn.fConnId = iVersion ? 0x1234 : 0x12345678;
        syn.fTimestamp = uint32_t(kStartUs - 7000);
        syn.fSeqNr = 100;
        syn.fFirstExt = EXT_BITS;
        syn.fExtensions = {0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_TRUE(Receive(sBuild(syn), from));
        c.fSynAnswer = TakeLast();
        EXPECT_EQ(1u, fIncoming.size());
        UTPSocket* in = fIncoming.back();
        const uint16_t ourSeq = in->fSeqNr;

        PacketSpec data = syn;
        data.fType = ST_DATA;
        data.fFirstExt = 0;
        data.fExtensions.clear();
        data.fConnId = syn.fConnId + 1; // the connecting side sends with its send id
        data.fSeqNr = 101;
        data.fAckNr = uint16_t(ourSeq - 1);
        data.fPayload = "hello";
        data.fTimestamp = uint32_t(kStartUs - 5000);
        EXPECT_TRUE(Receive(sBuild(data), from));
        EXPECT_TRUE(fSent.empty()); // the ACK waits
        Advance(100);
        UTP_CheckTimeouts();
        c.fAck = TakeLast();

        data.fSeqNr = 103; // 102 is missing
        data.fTimestamp += 100000;
        EXPECT_TRUE(Receive(sBuild(data), from));
        Advance(1);
        UTP_CheckTimeouts();
        c.fEack = TakeLast();

        data.fSeqNr = 102;
        EXPECT_TRUE(Receive(sBuild(data), from));
        Advance(100);
        UTP_CheckTimeouts();
        fSent.clear();
        EXPECT_EQ("hellohellohello", fIncomingRecorder.fRead);

        Advance(29000);
        UTP_CheckTimeouts();
        c.fKeepAlive = TakeLast();

        fIncomingRecorder.fOutgoing = "abc";
        // The initial window is one version-1 packet (1382 bytes): 3 bytes in flight leave room
        // for another version-0 packet (1379) but not for another version-1 packet.
        EXPECT_EQ(iVersion == 0, UTP_Write(in, 3));
        EXPECT_EQ(iVersion == 0 ? CS_CONNECTED : CS_CONNECTED_FULL, UTP_GetState(in));
        c.fData = TakeLast();

        PacketSpec ack = data;
        ack.fType = ST_STATE;
        ack.fPayload.clear();
        ack.fSeqNr = 104; // the next the peer will use
        ack.fAckNr = ourSeq;
        Advance(30);
        EXPECT_TRUE(Receive(sBuild(ack), from));
        EXPECT_TRUE(fSent.empty());
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(in));
        UTP_Close(in);
        c.fFin = TakeLast();

        // A stray from the same peer with an unknown id.
        PacketSpec stray = data;
        stray.fConnId = iVersion ? 0x4321 : 0x87654321;
        stray.fSeqNr = 500;
        EXPECT_TRUE(Receive(sBuild(stray), from));
        c.fReset = TakeLast();
        return c;
    }
};

} // namespace

// Version 1: byte 0 = type * 16 + 1; 20-byte header; timestamps are the low 32 bits of the
// microsecond clock (0x01020304 at the start); windows in bytes (3 670 016 = 0x00380000).
TEST_F(UtpGolden, VersionOnePackets)
{
    Capture c = Run(1);
    // SYN: receive id 0x255d (seeded), reply delay 0, initial seq 0x7141, extension bits.
    EXPECT_EQ("4102255d010203040000000000380000714100000008"
              "0000000000000000",
              sHex(c.fSyn));
    // Answer to the SYN: send id 0x1234, ack_nr = the SYN's 100, extension bits.
    EXPECT_EQ("210212340102030400000000003800006c6600640008"
              "0000000000000000",
              sHex(c.fSynAnswer));
    // Delayed ACK 100 ms later, reply delay 5000 us, ack_nr 101.
    EXPECT_EQ("21001234010389a400001388003800006c660065", sHex(c.fAck));
    // ACK with EACK: 103 waits, so bit 0 (ack_nr + 2) is set.
    EXPECT_EQ("2101123401038d8c00001388003800006c660065000401000000", sHex(c.fEack));
    // Keep-alive after 29 s: ack_nr one less than 103.
    EXPECT_EQ("2100123402bf956c00001770003800006c660066", sHex(c.fKeepAlive));
    EXPECT_EQ("0100123402bf956c00001770003800006c660067616263", sHex(c.fData));
    // FIN takes the next seq_nr; the reply delay is the ACK's age (29 136 000 us).
    EXPECT_EQ("1100123402c00a9c01bc9480003800006c670067", sHex(c.fFin));
    // RESET for the stray: its id unchanged, random seq_nr, ack_nr = its seq_nr 500, zeros.
    EXPECT_EQ("3100432100000000000000000000000074fa01f4", sHex(c.fReset));
}

// Version 0: 32-bit ids, timestamps as seconds and microseconds, window in 350-byte units
// (204 800 -> 74 = 0x4a), the extension and type bytes at 17 and 18, 0x7fffffff as the first
// reply delay.
TEST_F(UtpGolden, VersionZeroPackets)
{
    Capture c = Run(0);
    EXPECT_EQ("0000255d00000010000ddf047fffffff4a0204714100"
              "000008"
              "0000000000000000",
              sHex(c.fSyn));
    EXPECT_EQ("1234567800000010000ddf047fffffff4a02026c6600"
              "640008"
              "0000000000000000",
              sHex(c.fSynAnswer));
    EXPECT_EQ("123456780000001100002364000013884a00026c660065", sHex(c.fAck));
    EXPECT_EQ("12345678000000110000274c000013884a01026c660065000401000000", sHex(c.fEack));
    EXPECT_EQ("123456780000002e0001adec000017704a00026c660066", sHex(c.fKeepAlive));
    EXPECT_EQ("123456780000002e0001adec000017704a00006c660067616263", sHex(c.fData));
    EXPECT_EQ("123456780000002e0002231c01bc94804a00016c670067", sHex(c.fFin));
    EXPECT_EQ("8765432100000000000000000000000000000374fa01f4", sHex(c.fReset));
}
