// The datagram mask: golden bytes, short datagrams left alone, and the mask its own inverse.

#include "utp/runtime/DatagramMask.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace quillane::UTP;
typedef std::vector<uint8_t> Bytes;

TEST(DatagramMask, GoldenBytesShortDatagramsAndInverse)
{
    const Bytes cases[][2] = {
        {{0, 1, 2, 3, 4, 5, 6, 0xFF}, {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xFF}},
        {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}},
        {{0x12, 0, 0, 0, 0, 0, 0, 0, 0x34}, {0x12, 0, 0, 0, 0, 0, 0, 0, 0x34}},
        {{1, 2, 3, 4, 5, 6, 7, 0x0F, 0xF0, 0x0F}, {14, 13, 12, 11, 10, 9, 8, 0x0F, 0xFF, 0x00}},
    };
    for (const auto& c : cases)
    {
        Bytes inPlace = c[0], copy(c[0].size());
        sMaskDatagram(inPlace.data(), inPlace.size());
        sMaskDatagramCopy(c[0].data(), copy.data(), copy.size());
        EXPECT_EQ(c[1], inPlace);
        EXPECT_EQ(c[1], copy);
        sMaskDatagram(inPlace.data(), inPlace.size());
        EXPECT_EQ(c[0], inPlace);
    }
}
