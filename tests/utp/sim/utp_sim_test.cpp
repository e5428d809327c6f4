// Simulator tests: the link model loses, duplicates and holds back what it is configured to, and
// nothing on a clean link. The engine's transfer tests over hostile paths would pass for nothing if
// the link had quietly stopped doing so.

#include "utp/sim/utp_sim.h"

#include <gtest/gtest.h>

#include <set>

using namespace quillane::UTP::Sim;

namespace
{

// 4000 datagrams (not uTP: 8 bytes), one per ms, over a 5 ms link that holds some back 30 ms.
// Returns the link's counts; the tap's observations in oArrived (arrivals), oDistinct (datagrams
// that arrived at all), oRepeats (arrivals of a datagram already seen), oLate (arrivals behind a
// later datagram).
LinkStats spRun(double iLoss, double iDuplicate, double iReorder, uint64_t& oArrived,
                uint64_t& oDistinct, uint64_t& oRepeats, uint64_t& oLate)
{
    Sim sim;
    const int a = sim.AddEndpoint("127.0.0.1", 4000, false);
    const int b = sim.AddEndpoint("127.0.0.2", 4000, false);
    LinkConfig& link = sim.Link(a, b);
    link.fDelayUs = 5000;
    link.fLoss = iLoss, link.fDuplicate = iDuplicate, link.fReorder = iReorder;
    std::set<uint64_t> seen;
    uint64_t highest = 0;
    oArrived = oRepeats = oLate = 0;
    sim.SetTap(
        [&](const Datagram& d)
        {
            ++oArrived;
            oRepeats += !seen.insert(d.fIndex).second;
            oLate += d.fIndex < highest;
            highest = std::max(highest, d.fIndex);
        });
    const uint8_t bytes[8] = {};
    for (uint64_t i = 0; i < 4000; ++i)
        sim.At(sim.Now() + i * 1000, [&] { sim.Inject(a, b, bytes, sizeof bytes); });
    sim.RunFor(5000000);
    oDistinct = seen.size();
    return sim.Stats(a, b);
}

} // namespace

TEST(UtpSim, LinkLosesDuplicatesAndReordersAsConfigured)
{
    uint64_t arrived, distinct, repeats, late;
    LinkStats clean = spRun(0, 0, 0, arrived, distinct, repeats, late);
    EXPECT_EQ(4000u, clean.fSent);
    EXPECT_EQ(0u, clean.fLost + clean.fDuplicated + clean.fHeldBack);
    EXPECT_EQ(4000u, arrived);
    EXPECT_EQ(4000u, distinct);
    EXPECT_EQ(0u, repeats + late);

    // Expected: 400 lost; 5% of the 3600 left duplicated (180); 10% of the 3780 copies held (378).
    LinkStats hostile = spRun(0.10, 0.05, 0.10, arrived, distinct, repeats, late);
    EXPECT_EQ(4000u, hostile.fSent);
    EXPECT_TRUE(hostile.fLost >= 320 && hostile.fLost <= 480) << hostile.fLost;
    EXPECT_TRUE(hostile.fDuplicated >= 130 && hostile.fDuplicated <= 230) << hostile.fDuplicated;
    EXPECT_TRUE(hostile.fHeldBack >= 300 && hostile.fHeldBack <= 460) << hostile.fHeldBack;
    // What arrives agrees: every copy sent on, every duplicate seen twice, the held ones behind
    // later datagrams (all but perhaps the very last).
    EXPECT_EQ(hostile.fDelivered, arrived);
    EXPECT_EQ(4000u - hostile.fLost + hostile.fDuplicated, arrived);
    EXPECT_EQ(4000u - hostile.fLost, distinct);
    EXPECT_EQ(hostile.fDuplicated, repeats);
    EXPECT_TRUE(late <= hostile.fHeldBack && late + 1 >= hostile.fHeldBack) << late;
}
