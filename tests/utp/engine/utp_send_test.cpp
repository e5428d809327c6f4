// Send-path tests: connecting, coalescing small writes, and the ACK rules after data and after a
// drained read buffer.

#include "tests/utp/engine/utp_test_support.h"

using namespace quillane::test;

namespace
{

using UtpSend = UtpFixture;

} // namespace

// Writes are refused until the SYN is answered, the version is fixed from then on, overhead is
// reported by category; once connected, small writes behind a packet in flight are held back
// and leave as one packet when it is acknowledged.
TEST_F(UtpSend, ConnectThenCoalesceSmallWrites)
{
    UTPSocket* s = Create(kPeer, &fRec);
    UTP_Connect(s);
    EXPECT_FALSE(UTP_Write(s, 10));
    Advance(10);
    ASSERT_TRUE(Receive(SynAnswer(s)));
    EXPECT_EQ(std::vector<int>({STATE_CHANGE_CONNECTED}), fRec.fStates);
    EXPECT_EQ(std::vector<int>({BW_CONNECT, BW_HEADER}), fRec.fOverheadCategories);
    EXPECT_FALSE(UTP_SetOption(s, UTP_OPTION_VERSION, 0));
    EXPECT_FALSE(UTP_SetOption(s, 12345, 1));
    EXPECT_EQ(int(kDefaultBufferV1), UTP_GetOption(s, UTP_OPTION_RCVBUF));

    s->fCong.fMaxWindow = 20000;
    Advance(50); // the send quota fills
    fSent.clear();
    for (char c : std::string("abcd"))
        fRec.fOutgoing += std::string(100, c);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(UTP_Write(s, 100));
    ASSERT_EQ(1u, fSent.size());
    fSent.clear();
    Advance(20);
    ASSERT_TRUE(Receive(AckOf(s, 1)));
    ASSERT_EQ(1u, fSent.size());
    const std::vector<uint8_t>& b = fSent[0].fBytes;
    EXPECT_EQ(fRec.fOutgoing.substr(100), std::string(b.begin() + 20, b.end()));
}

// More than 2400 bytes since the last ACK are acknowledged at once (here with a closed window);
// draining the read buffer then sends the window update at once.
TEST_F(UtpSend, AckAfter2400BytesAndWindowUpdateAfterDrain)
{
    UTPSocket* s = Establish(&fRec);
    fRec.fReadBufferSize = s->fRecv.fRcvBuf; // the user holds a full buffer
    ASSERT_TRUE(Receive(Data(s, 0, std::string(1300, 'a'))));
    EXPECT_TRUE(fSent.empty());
    ASSERT_TRUE(Receive(Data(s, 0, std::string(1300, 'b'))));
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(0u, sHeaderOf(fSent[0].fBytes).fWindow);
    fRec.fReadBufferSize = 0;
    UTP_ReadBufferDrained(s);
    ASSERT_EQ(2u, fSent.size());
    EXPECT_EQ(s->fRecv.fRcvBuf, sHeaderOf(fSent[1].fBytes).fWindow);
}
