// Fuzz target: the packet parser alone (recognition, header, extension chain) on arbitrary
// datagrams read in both versions, from a buffer of exactly their length (the address sanitizer
// catches any read past it); payload and EACK mask must lie inside the datagram.
// Corpus: fuzz/corpus/utp_packet/ (datagrams of a normal simulated exchange).

#include "utp/engine/utp_packet.h"

#include <cstdlib>
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
    spCheck(mask ? mask >= iBytes + header && mask + maskLength <= iBytes + iLength
                 : maskLength == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize)
{
    std::vector<uint8_t> datagram(iData, iData + iSize);
    const uint8_t* bytes = datagram.empty() ? nullptr : datagram.data();
    PacketId id;
    if (sRecognize(bytes, iSize, id))
        spCheck((id.fVersion == 0 || id.fVersion == 1) && iSize >= sHeaderSize(id.fVersion));
    else
        spCheck(iSize < 23);
    spParseAs(bytes, iSize, 0);
    spParseAs(bytes, iSize, 1);
    return 0;
}
