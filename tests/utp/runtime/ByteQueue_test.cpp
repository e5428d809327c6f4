// The receive queue of a stream: a ring that grows while wrapped, checked against a model.

#include "utp/runtime/ByteQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

using quillane::UTP::ByteQueue;
typedef std::vector<uint8_t> Bytes;

TEST(ByteQueue, MatchesAModelAcrossWrapsGrowthAndRelease)
{
    std::mt19937 random(7);
    ByteQueue queue;
    std::deque<uint8_t> model;
    uint8_t next = 0;
    for (int step = 0; step < 4000; ++step)
    {
        // Phases of mostly appending and mostly taking: the ring wraps, grows while wrapped, and
        // runs empty from above the kept capacity.
        const bool filling = (step / 500) % 2 == 0;
        const size_t count = random() % 9000;
        Bytes bytes(count);
        if (random() % 4 != 0 ? filling : !filling)
        {
            for (uint8_t& b : bytes)
                model.push_back(b = next++);
            queue.Append(bytes.data(), bytes.size());
        }
        else
        {
            bytes.resize(queue.Take(bytes.data(), bytes.size()));
            ASSERT_EQ(std::min(count, model.size()), bytes.size());
            for (uint8_t b : bytes)
            {
                ASSERT_EQ(model.front(), b);
                model.pop_front();
            }
        }
        ASSERT_EQ(model.size(), queue.Size());
    }
}
