// uTP wire formats: the two header versions, packet types, the extension chain, window units and
// timestamps. Pure functions over byte buffers; nothing here knows about connections.
//
// Invariants: every multi-byte field is big-endian and is read and written byte by byte, so no
// buffer is ever accessed unaligned or through a punned type. Every parse function bounds-checks
// against the datagram length it is given; callers may pass any bytes a peer sent.
//
// Threads: stateless.

#ifndef QUILLANE_UTP_ENGINE_UTP_PACKET_H
#define QUILLANE_UTP_ENGINE_UTP_PACKET_H

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

enum PacketType
{
    ST_DATA = 0,
    ST_FIN = 1,
    ST_STATE = 2,
    ST_RESET = 3,
    ST_SYN = 4,
    ST_NUM_TYPES = 5
};

enum ExtensionType
{
    EXT_NONE = 0,
    EXT_EACK = 1,
    EXT_BITS = 2
};

// Bytes of a header without extensions, by version.
const size_t kHeaderSizeV1 = 20;
const size_t kHeaderSizeV0 = 23;
// Bytes: the largest datagram the engine builds, by peer address family.
const size_t kMaxDatagramIPv4 = 1402;
const size_t kMaxDatagramIPv6 = 1232;
// Bytes of UDP and IP headers counted per datagram in overhead reports, by family.
const size_t kIPOverheadIPv4 = 28;
const size_t kIPOverheadIPv6 = 76;
// Bytes of the extension-bits extension (head + body) and of the EACK the engine sends.
const size_t kExtBitsSize = 10;
const size_t kEackSize = 6;
// µs: the reply delay meaning "no measurement" in version 0 (also accepted as such from any
// peer).
const uint32_t kNoDelay = 0x7FFFFFFF;

inline size_t sHeaderSize(int iVersion)
{
    return iVersion == 0 ? kHeaderSizeV0 : kHeaderSizeV1;
}

// Big-endian loads and stores.
inline uint16_t sLoad16(const uint8_t* iBytes)
{
    return uint16_t((iBytes[0] << 8) | iBytes[1]);
}
inline uint32_t sLoad32(const uint8_t* iBytes)
{
    return (uint32_t(iBytes[0]) << 24) | (uint32_t(iBytes[1]) << 16) | (uint32_t(iBytes[2]) << 8) |
           iBytes[3];
}
inline void sStore16(uint8_t* oBytes, uint16_t iValue)
{
    oBytes[0] = uint8_t(iValue >> 8);
    oBytes[1] = uint8_t(iValue);
}
inline void sStore32(uint8_t* oBytes, uint32_t iValue)
{
    oBytes[0] = uint8_t(iValue >> 24);
    oBytes[1] = uint8_t(iValue >> 16);
    oBytes[2] = uint8_t(iValue >> 8);
    oBytes[3] = uint8_t(iValue);
}

// What version recognition finds out before any connection is looked up.
struct PacketId
{
    int fVersion;
    int fType; // may be 5 or more: checked later, per connection
    uint32_t fConnId;
};

// False when the datagram is not uTP (too short for the version it reads as).
bool sRecognize(const uint8_t* iBytes, size_t iLength, PacketId& oId);

// The header fields, read in a given version. The datagram must hold the header.
struct PacketHeader
{
    int fType;
    int fExtension;
    uint32_t fConnId;
    uint32_t fTimestamp; // version 0: seconds * 1 000 000 + microseconds, low 32 bits
    uint32_t fReplyDelay;
    uint32_t fWindow; // in bytes (version 0 already multiplied by 350)
    uint16_t fSeqNr;
    uint16_t fAckNr;
};

void sReadHeader(const uint8_t* iBytes, int iVersion, PacketHeader& oHeader);
uint16_t sReadSeqNr(const uint8_t* iBytes, int iVersion);

// Walks the extension chain that starts after the header. On success gives where the payload
// starts and the last EACK mask found (null, 0 when none).
enum ExtensionResult
{
    EXT_OK,
    EXT_BAD_LENGTH,     // "Invalid len of extensions"
    EXT_BAD_BITS_LENGTH // "Invalid len of extension bits header"
};
ExtensionResult sWalkExtensions(const uint8_t* iBytes, size_t iLength, size_t iHeaderSize,
                                int iFirstExtension, size_t& oPayloadOffset,
                                const uint8_t*& oEackMask, size_t& oEackLength);

// Window field units.
uint32_t sEncodeWindowV0(uint32_t iWindowBytes);

// Writes a whole header: type, first extension, connection id, window, seq_nr, ack_nr; the
// timestamp and reply-delay fields are zeroed (sStamp fills them at transmission).
void sWriteHeader(uint8_t* oBytes, int iVersion, int iType, int iExtension, uint32_t iConnId,
                  uint32_t iWindowBytes, uint16_t iSeqNr, uint16_t iAckNr);
void sWriteAckNr(uint8_t* ioBytes, int iVersion, uint16_t iAckNr);
// Timestamp (from the microsecond clock) and reply delay, written at every transmission.
void sStamp(uint8_t* ioBytes, int iVersion, uint64_t iMicroseconds, uint32_t iReplyDelay);

// Appends an extension (next-type 0) after the header: returns the bytes written.
size_t sWriteExtensionBits(uint8_t* oBytes);
size_t sWriteEack(uint8_t* oBytes, uint32_t iMask);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_PACKET_H
