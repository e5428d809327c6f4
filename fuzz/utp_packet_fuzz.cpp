// Fuzz target: the uTP packet parser alone (version recognition, header fields, extension
// chain) on arbitrary datagrams. The input is copied into a buffer of exactly its length so that
// any read past the datagram is caught by the address sanitizer; the parser's promises (payload
// and EACK mask inside the datagram) are checked explicitly.
//
// Corpus: fuzz/corpus/utp_packet/ (datagrams of a normal simulated exchange).

#include "engine/utp_packet.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace quillane::UTP::Engine;

namespace
{

void spCheck(bool iCondition)
{
    if (!iCondition)
        std::abort();
}

void spParseAs(const uint8_t* iBytes, size_t iLength, int iVersion)
{
    const size_t header = sHeaderSize(iVersion);
    if (iLength < header)
        return;
    PacketHeader h;
    sReadHeader(iBytes, iVersion, h);
    spCheck(h.fSeqNr == sReadSeqNr(iBytes, iVersion));
    size_t payload = 0;
    const uint8_t* mask = nullptr;
    size_t maskLength = 0;
    if (sWalkExtensions(iBytes, iLength, header, h.fExtension, payload, mask, maskLength) != EXT_OK)
        return;
    spCheck(payload >= header && payload <= iLength);
    if (mask)
        spCheck(mask >= iBytes + header && mask + maskLength <= iBytes + iLength);
    else
        spCheck(maskLength == 0);

    // Writing the fields back and reading them again gives the same fields.
    if (h.fType < ST_NUM_TYPES && h.fExtension < 256)
    {
        std::vector<uint8_t> out(header);
        sWriteHeader(out.data(), iVersion, h.fType, h.fExtension, h.fConnId, h.fWindow, h.fSeqNr,
                     h.fAckNr);
        PacketHeader back;
        sReadHeader(out.data(), iVersion, back);
        spCheck(back.fType == h.fType && back.fExtension == h.fExtension &&
                back.fSeqNr == h.fSeqNr && back.fAckNr == h.fAckNr && back.fConnId == h.fConnId);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize)
{
    std::vector<uint8_t> datagram(iData, iData + iSize);
    const uint8_t* bytes = datagram.empty() ? nullptr : datagram.data();
    PacketId id;
    if (sRecognize(bytes, iSize, id))
    {
        spCheck(id.fVersion == 0 || id.fVersion == 1);
        spCheck(iSize >= sHeaderSize(id.fVersion));
        spParseAs(bytes, iSize, id.fVersion);
    }
    else
        spCheck(iSize < 23);
    // The per-connection checks read a datagram in the connection's version, whatever it
    // looks like: both readings must be safe.
    spParseAs(bytes, iSize, 0);
    spParseAs(bytes, iSize, 1);
    return 0;
}
