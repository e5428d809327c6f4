// The datagram mask applied to every uTP datagram on the wire, in both directions.
//
// A datagram of 8 bytes or more has byte 7 (the last byte of the first time-stamp field in
// either header version) as its key: that byte stays, every other byte is XORed with it. Shorter
// datagrams travel unchanged. The mask is its own inverse. A reset carries zero time stamps, so
// its key is 0 and it travels unchanged.

#ifndef QUILLANE_UTP_RUNTIME_DATAGRAMMASK_H
#define QUILLANE_UTP_RUNTIME_DATAGRAMMASK_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillane
{
namespace UTP
{

const size_t kMaskKeyIndex = 7;

// oDest[x] = iSource[x] ^ iKey for iLength bytes, eight at a time (the two may be the same).
inline void sXorBytes(const uint8_t* iSource, uint8_t* oDest, size_t iLength, uint8_t iKey)
{
    const uint64_t key = 0x0101010101010101ull * iKey;
    size_t x = 0;
    for (; x + 8 <= iLength; x += 8)
    {
        uint64_t word;
        std::memcpy(&word, iSource + x, 8);
        word ^= key;
        std::memcpy(oDest + x, &word, 8);
    }
    for (; x < iLength; ++x)
        oDest[x] = uint8_t(iSource[x] ^ iKey);
}

// Masks (or unmasks) iLength bytes in place.
inline void sMaskDatagram(uint8_t* ioBytes, size_t iLength)
{
    if (iLength <= kMaskKeyIndex)
        return;
    const uint8_t key = ioBytes[kMaskKeyIndex];
    sXorBytes(ioBytes, ioBytes, iLength, key);
    ioBytes[kMaskKeyIndex] = key;
}

// Writes the masked form of iLength bytes of iSource to oDest (the two must not overlap).
inline void sMaskDatagramCopy(const uint8_t* iSource, uint8_t* oDest, size_t iLength)
{
    if (iLength <= kMaskKeyIndex)
    {
        std::memcpy(oDest, iSource, iLength);
        return;
    }
    const uint8_t key = iSource[kMaskKeyIndex];
    sXorBytes(iSource, oDest, iLength, key);
    oDest[kMaskKeyIndex] = key;
}

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_DATAGRAMMASK_H
