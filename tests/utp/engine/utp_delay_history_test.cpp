// Delay history tests: the base of the minute slots, the current delay above it, and the
// comparison on the 32-bit circle.

#include "utp/engine/utp_delay_history.h"

#include <gtest/gtest.h>

using namespace quillane::UTP::Engine;

TEST(UtpDelayHistory, KeepsTheMinuteBase)
{
    DelayHistory h;
    h.Clear(0);
    uint32_t t = 0;
    for (uint32_t sample : {5000u, 7000u, 6000u, 9000u})
        h.Add(sample, t += 10);
    EXPECT_EQ(5000u, h.fBase);
    EXPECT_EQ(1000u, h.Value()); // smallest of the last three: 2000, 1000, 4000
    h.Add(8000, 60010);          // a new minute opens a slot; the base is the smallest of all
    EXPECT_EQ(1u, h.fBaseIndex);
    EXPECT_EQ(5000u, h.fBase);
    // Wrapping comparison: a sample just below the 32-bit wrap is "less" than 100.
    h.Clear(0);
    h.Add(100, 0);
    h.Add(0xFFFFFFF0u, 1);
    EXPECT_EQ(0xFFFFFFF0u, h.fBase);
    h.Shift(0x20);
    EXPECT_EQ(0x10u, h.fBase);
}
