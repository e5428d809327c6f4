// Reset table tests, through the datagram entry: one reset per stray while its record lives, and
// a bounded table.

#include "tests/utp/engine/utp_test_support.h"

using namespace quillane::test;

namespace
{

using UtpResetTable = UtpFixture;

} // namespace

// One reset per stray (address, id, seq_nr), not repeated while repeats keep its record alive
// (10 s each); at most 1001 records; a reset for no connection is never answered.
TEST_F(UtpResetTable, OneResetPerStrayInABoundedTable)
{
    PacketDraft stray;
    for (stray.fConnId = 0; stray.fConnId < 1500; ++stray.fConnId)
        ASSERT_TRUE(Receive(stray));
    EXPECT_EQ(1001u, fSent.size());
    Sweep(10000);
    EXPECT_EQ(0u, UTP_GetResetCount());
    fSent.clear();
    for (uint64_t ms : {0, 9000, 9999})
    {
        Sweep(ms);
        ASSERT_TRUE(Receive(stray));
    }
    stray.fSeqNr = 1;
    ASSERT_TRUE(Receive(stray));
    EXPECT_EQ(2u, fSent.size());
    Sweep(10000);
    ASSERT_TRUE(Receive(stray));
    EXPECT_EQ(3u, fSent.size());
    stray.fType = ST_RESET;
    ASSERT_TRUE(Receive(stray));
    EXPECT_EQ(3u, fSent.size());
}
