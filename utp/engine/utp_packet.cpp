// uTP wire formats: version recognition, header reading and writing, the extension chain. See
// utp_packet.h.
//
// Threads: stateless.

#include "utp/engine/utp_packet.h"

#include <cstring>

namespace quillane
{
namespace UTP
{
namespace Engine
{

bool sRecognize(const uint8_t* iBytes, size_t iLength, PacketId& oId)
{
    if (!iBytes || iLength < kHeaderSizeV1)
        return false;
    const uint8_t b0 = iBytes[0];
    if ((b0 & 0x0F) == 1 && (b0 >> 4) < ST_NUM_TYPES && iBytes[1] < 3)
    {
        oId.fVersion = 1;
        oId.fType = b0 >> 4;
        oId.fConnId = sLoad16(iBytes + 2);
        return true;
    }
    if (iLength < kHeaderSizeV0)
        return false;
    oId.fVersion = 0;
    oId.fType = iBytes[18];
    oId.fConnId = sLoad32(iBytes);
    return true;
}

void sReadHeader(const uint8_t* iBytes, int iVersion, PacketHeader& oHeader)
{
    if (iVersion == 0)
    {
        oHeader.fConnId = sLoad32(iBytes);
        oHeader.fTimestamp = sLoad32(iBytes + 4) * 1000000u + sLoad32(iBytes + 8);
        oHeader.fReplyDelay = sLoad32(iBytes + 12);
        oHeader.fWindow = uint32_t(iBytes[16]) * 350u;
        oHeader.fExtension = iBytes[17];
        oHeader.fType = iBytes[18];
        oHeader.fSeqNr = sLoad16(iBytes + 19);
        oHeader.fAckNr = sLoad16(iBytes + 21);
    }
    else
    {
        oHeader.fType = iBytes[0] >> 4;
        oHeader.fExtension = iBytes[1];
        oHeader.fConnId = sLoad16(iBytes + 2);
        oHeader.fTimestamp = sLoad32(iBytes + 4);
        oHeader.fReplyDelay = sLoad32(iBytes + 8);
        oHeader.fWindow = sLoad32(iBytes + 12);
        oHeader.fSeqNr = sLoad16(iBytes + 16);
        oHeader.fAckNr = sLoad16(iBytes + 18);
    }
}

uint16_t sReadSeqNr(const uint8_t* iBytes, int iVersion)
{
    return sLoad16(iBytes + (iVersion == 0 ? 19 : 16));
}

ExtensionResult sWalkExtensions(const uint8_t* iBytes, size_t iLength, size_t iHeaderSize,
                                int iFirstExtension, size_t& oPayloadOffset,
                                const uint8_t*& oEackMask, size_t& oEackLength)
{
    oEackMask = nullptr;
    oEackLength = 0;
    size_t offset = iHeaderSize;
    int extension = iFirstExtension;
    while (extension != EXT_NONE)
    {
        if (iLength < offset || iLength - offset < 2)
            return EXT_BAD_LENGTH;
        const int next = iBytes[offset];
        const size_t length = iBytes[offset + 1];
        offset += 2;
        if (iLength - offset < length)
            return EXT_BAD_LENGTH;
        if (extension == EXT_EACK)
        {
            oEackMask = iBytes + offset;
            oEackLength = length;
        }
        else if (extension == EXT_BITS && length != 8)
        {
            return EXT_BAD_BITS_LENGTH;
        }
        offset += length;
        extension = next;
    }
    oPayloadOffset = offset;
    return EXT_OK;
}

uint32_t sEncodeWindowV0(uint32_t iWindowBytes)
{
    return uint32_t((uint64_t(iWindowBytes) + 349) / 350) & 0xFF;
}

void sWriteHeader(uint8_t* oBytes, int iVersion, int iType, int iExtension, uint32_t iConnId,
                  uint32_t iWindowBytes, uint16_t iSeqNr, uint16_t iAckNr)
{
    if (iVersion == 0)
    {
        std::memset(oBytes, 0, kHeaderSizeV0);
        sStore32(oBytes, iConnId);
        oBytes[16] = uint8_t(sEncodeWindowV0(iWindowBytes));
        oBytes[17] = uint8_t(iExtension);
        oBytes[18] = uint8_t(iType);
        sStore16(oBytes + 19, iSeqNr);
        sStore16(oBytes + 21, iAckNr);
    }
    else
    {
        std::memset(oBytes, 0, kHeaderSizeV1);
        oBytes[0] = uint8_t(iType * 16 + 1);
        oBytes[1] = uint8_t(iExtension);
        sStore16(oBytes + 2, uint16_t(iConnId));
        sStore32(oBytes + 12, iWindowBytes);
        sStore16(oBytes + 16, iSeqNr);
        sStore16(oBytes + 18, iAckNr);
    }
}

void sWriteAckNr(uint8_t* ioBytes, int iVersion, uint16_t iAckNr)
{
    sStore16(ioBytes + (iVersion == 0 ? 21 : 18), iAckNr);
}

void sStamp(uint8_t* ioBytes, int iVersion, uint64_t iMicroseconds, uint32_t iReplyDelay)
{
    if (iVersion == 0)
    {
        sStore32(ioBytes + 4, uint32_t(iMicroseconds / 1000000));
        sStore32(ioBytes + 8, uint32_t(iMicroseconds % 1000000));
        sStore32(ioBytes + 12, iReplyDelay);
    }
    else
    {
        sStore32(ioBytes + 4, uint32_t(iMicroseconds));
        sStore32(ioBytes + 8, iReplyDelay);
    }
}

size_t sWriteExtensionBits(uint8_t* oBytes)
{
    oBytes[0] = 0;
    oBytes[1] = 8;
    std::memset(oBytes + 2, 0, 8);
    return kExtBitsSize;
}

size_t sWriteEack(uint8_t* oBytes, uint32_t iMask)
{
    oBytes[0] = 0;
    oBytes[1] = 4;
    // Bit i lives in byte i / 8, least significant bit first.
    oBytes[2] = uint8_t(iMask);
    oBytes[3] = uint8_t(iMask >> 8);
    oBytes[4] = uint8_t(iMask >> 16);
    oBytes[5] = uint8_t(iMask >> 24);
    return kEackSize;
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
