// Golden bytes: every kind of packet the engine sends, in both header versions, captured through
// the send callback on the virtual clock with a seeded random source and compared to literal
// bytes.

#include "utp_test_support.h"

#include <cstdio>

using namespace quillane::UTP;
using namespace utptest;

namespace {

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
        // One packet in flight fills the initial window of one packet: not writable afterwards.
        EXPECT_FALSE(UTP_Write(in, 3));
        EXPECT_EQ(CS_CONNECTED_FULL, UTP_GetState(in));
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

void sPrint(const char* iName, const Bytes& b)
{
    std::printf("%s %s\n", iName, sHex(b).c_str());
}

} // namespace

TEST_F(UtpGolden, Dump)
{
    for (int v = 1; v >= 0; --v)
    {
        UTP_FreeAll();
        UTP_UseVirtualClock(kStartUs);
        UTP_SeedRandom(1);
        Capture c = Run(v);
        sPrint("syn", c.fSyn);
        sPrint("answer", c.fSynAnswer);
        sPrint("ack", c.fAck);
        sPrint("eack", c.fEack);
        sPrint("keepalive", c.fKeepAlive);
        sPrint("data", c.fData);
        sPrint("fin", c.fFin);
        sPrint("reset", c.fReset);
    }
}
