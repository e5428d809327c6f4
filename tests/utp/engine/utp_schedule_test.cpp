// Timer schedule tests: sleepers keep their deadlines, in deadline order across the wrap of the
// millisecond clock, and a call on a sleeper wakes it for the next sweep.

#include "tests/utp/engine/utp_test_support.h"
#include "utp/engine/utp_schedule.h"

#include <map>

using namespace quillane::test;

namespace
{

using UtpSchedule = UtpFixture;

} // namespace

// Sixty connections established 70 ms apart sleep, and each sends its keep-alive at the first
// sweep 29 s after its last datagram, whatever order their deadlines come in. A packet wakes a
// sleeper: its delayed ACK goes out 100 ms later.
TEST_F(UtpSchedule, IdleConnectionsSleepButKeepTheirDeadlines)
{
    const int kCount = 60;
    std::vector<UTPSocket*> sockets;
    for (int i = 0; i < kCount; ++i)
    {
        const sockaddr_in peer = sAddr4("127.0.0.2", uint16_t(5000 + i));
        sockets.push_back(Create(peer, nullptr));
        UTP_Connect(sockets.back());
        ASSERT_TRUE(Receive(SynAnswer(sockets.back()), peer));
        Sweep(70);
    }
    fSent.clear();
    std::vector<int> keepAlives(kCount, 0);
    for (int step = 0; step < 700; ++step)
    {
        Sweep(50);
        for (const Sent& d : fSent)
        {
            const int i = d.fTo.fPort - 5000;
            ASSERT_TRUE(i >= 0 && i < kCount);
            ++keepAlives[i];
            const uint32_t quiet = sNow() - uint32_t(kStartUs / 1000 + 70 * i);
            EXPECT_TRUE(quiet >= 29000 && quiet < 29050) << i << ": " << quiet;
            EXPECT_EQ(998, sHeaderOf(d.fBytes).fAckNr);
        }
        fSent.clear();
    }
    EXPECT_EQ(std::vector<int>(kCount, 1), keepAlives);

    ASSERT_TRUE(Receive(Data(sockets[7], 0, ""), sAddr4("127.0.0.2", 5007)));
    Sweep(50);
    EXPECT_TRUE(fSent.empty());
    Sweep(50);
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(1000, sHeaderOf(fSent[0].fBytes).fAckNr);
}

// Deadlines on both sides of the wrap of the 32-bit millisecond clock, slept in scrambled order:
// each sleeper wakes at the sweep of its deadline, not before, earliest first. Then a call on one
// sleeper (UTP_SetCallbacks) has the next sweep step it (its quota is brought to that sweep's
// time) while the others sleep on.
TEST_F(UtpSchedule, SleepersWakeInDeadlineOrderAcrossTheClockWrap)
{
    const uint32_t kStart = 0xFFFFFF00u; // ms: 256 before the wrap
    UTP_UseVirtualClock(uint64_t(kStart) * 1000);
    const uint32_t offsets[] = {310, 40, 2047, 255, 256, 120, 1, 700}; // deadline - kStart, ms
    std::map<UTPSocket*, uint32_t> offsetOf;
    for (uint32_t offset : offsets)
        offsetOf[Create(sAddr4("127.0.0.2", uint16_t(6000 + offset)), nullptr)] = offset;
    for (const auto& entry : offsetOf)
        sScheduleSleep(entry.first, kStart + entry.second);
    ASSERT_EQ(0u, sActiveCount());
    std::vector<uint32_t> woken;
    for (uint32_t t = 0; t <= 2048; ++t)
    {
        sScheduleWakeDue(kStart + t);
        for (; woken.size() < sActiveCount(); woken.push_back(t))
            EXPECT_EQ(t, offsetOf[sActiveAt(uint32_t(woken.size()))]);
    }
    std::vector<uint32_t> sorted(std::begin(offsets), std::end(offsets));
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, woken);

    for (const auto& entry : offsetOf)
        sScheduleSleep(entry.first, kStart + 60000);
    UTPSocket* touched = offsetOf.begin()->first;
    UTP_SetCallbacks(touched, nullptr, nullptr);
    Sweep(50);
    for (const auto& entry : offsetOf)
        EXPECT_EQ(entry.first == touched ? sNow() : kStart, entry.first->fCong.fLastQuotaUpdate);
}
