// The runner: an idle one serves a newly registered socket at once.

#include "tests/utp/runtime/runtime_test_support.h"

using namespace quillane::test;

TEST(Runner, AnIdleRunnerServesANewSocketAtOnce)
{
    // Each trial starts with the runner idle (no Manager); a refused connect returns when the
    // runner has read the reset. A runner that noticed the socket only at its next wake-up
    // would spend about half a second per trial.
    TestUdp peer;
    double total = 0;
    for (int trial = 0; trial < 6; ++trial)
    {
        if (!sEventually([] { return sU().CountManagers() == 0; }))
            GTEST_SKIP() << "earlier tests left streams open in this process; run it alone";
        sPause(200);
        TestUdp a;
        std::thread refuser([&] { sRefuseNextSyn(peer, a); });
        const Clock::time_point start = Clock::now();
        ZRef<StreamerRW> refused;
        sWithin(30, [&] { refused = sConnect(a.fFD, peer); });
        total += sSecondsSince(start);
        refuser.join();
        EXPECT_EQ(eState_Failed, refused->GetState());
        refused->Close();
    }
    EXPECT_LT(total, 1.0);
}
