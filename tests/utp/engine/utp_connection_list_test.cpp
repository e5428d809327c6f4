// Connection list tests: records removed from the middle of a sweep.

#include "tests/utp/engine/utp_test_support.h"

using namespace quillane::test;

namespace
{

using UtpConnectionList = UtpFixture;

} // namespace

// Destroying every third of 40 connections in one sweep keeps the rest stepped and matched.
TEST_F(UtpConnectionList, ManyConnectionsDestroyedInOneSweep)
{
    std::vector<Recorder> recorders(40);
    std::vector<UTPSocket*> sockets;
    for (uint16_t i = 0; i < 40; ++i)
    {
        sockets.push_back(Create(sAddr4("127.0.0.2", uint16_t(3000 + i)), &recorders[i]));
        UTP_Connect(sockets.back());
        if (i % 3 == 0)
            UTP_Close(sockets.back());
    }
    Sweep(60);
    EXPECT_EQ(40u - 14u, UTP_GetConnectionCount());
    for (uint16_t i = 1; i < 40; ++i)
    {
        if (i % 3 == 0)
            continue;
        ASSERT_TRUE(Receive(SynAnswer(sockets[i]), sAddr4("127.0.0.2", uint16_t(3000 + i))));
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(sockets[i]));
    }
}
