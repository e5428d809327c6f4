// Managers: accepting takes the oldest connection queued on the socket, whichever Manager read it.

#include "tests/utp/runtime/runtime_test_support.h"

using namespace quillane::test;

// The connection's SYN is read by the socket's older Manager, yet queued for the socket, so a
// later listener takes it. The two Managers then share the (blocking) socket through small
// exchanges, which a runner blocking on the socket would stall.
TEST(Manager, AnyListenerOfTheSocketTakesItsQueuedConnection)
{
    TestUdp a, b1, b2;
    Pair first = sPair(a, b1); // its stream keeps the first Manager of a alive
    const ZRef<StreamerRW> second = sConnect(b2.fFD, a);
    EXPECT_EQ(eState_Connected, second->GetState());
    EXPECT_EQ(1u, sU().CountPending(a.fFD));
    sWithin(30,
            [&]
            {
                const ZRef<StreamerRW> accepted = sAccept(a.fFD);
                for (int round = 0; round < 20; ++round)
                {
                    sWrite(second, sB("ping"));
                    EXPECT_EQ(sB("ping"), sReadAll(accepted, 4));
                    sWrite(accepted, sB("pong"));
                    EXPECT_EQ(sB("pong"), sReadAll(second, 4));
                }
                accepted->Close();
            });
    second->Close();
    first.Close();
}

// A socket nobody accepts on queues at most kBacklog connections. While full, a new one replaces
// the oldest that has delivered nothing (reset), and is refused before the engine makes anything
// once every queued one has delivered bytes; a queued connection advertises at most
// kQueuedWindow; one that is reset leaves the queue, one taken makes room, and the rest are reset
// once kQueueMilliseconds have passed.
