// Byte streams: the non-virtual operations of ZStreamR and ZStreamW, their default slots (the
// buffered copy and the skip by reading), the exceptions, the factories' defaults and the FILE
// writer. No state of its own: any thread may use any stream its owner lets it use.

#include "morvek/ZStream.h"

#include <algorithm>
#include <memory>
#include <new>

namespace Morvek
{

namespace
{

const size_t kCopyHeapBufferSize = 8192;
const size_t kCopyStackBufferSize = 4096;
const size_t kSkipBufferSize = 4096;

// Stores a count for a caller that asked for it (a non-null out parameter).
template <class C>
inline void spStore(C* oCount, C iValue)
{
    if (oCount)
        *oCount = iValue;
}

// Writes all iCount bytes with Imp_Write calls, advancing; stops early when a call takes
// nothing. Returns the number written.
size_t spWriteFully(ZStreamW& iStreamW, const char* iSource, size_t iCount)
{
    size_t written = 0;
    while (written < iCount)
    {
        size_t countWritten = 0;
        iStreamW.Imp_Write(iSource + written, iCount - written, &countWritten);
        if (countWritten == 0)
            break;
        written += countWritten;
    }
    return written;
}

// The copy loop through a given buffer: one Imp_Read at a time, then writing all of what it
// delivered. Ends at iCount, at the source's end, or when the destination takes nothing.
void spCopyThrough(char* iBuffer, size_t iBufferSize, ZStreamR& iStreamR, ZStreamW& iStreamW,
                   uint64_t iCount, uint64_t& ioCountRead, uint64_t& ioCountWritten)
{
    uint64_t remaining = iCount;
    while (remaining > 0)
    {
        const size_t wanted = size_t(std::min<uint64_t>(remaining, iBufferSize));
        size_t countRead = 0;
        iStreamR.Imp_Read(iBuffer, wanted, &countRead);
        if (countRead == 0)
            break;
        ioCountRead += countRead;
        remaining -= countRead;

        const size_t countWritten = spWriteFully(iStreamW, iBuffer, countRead);
        ioCountWritten += countWritten;
        if (countWritten < countRead)
            break;
    }
}

// The buffered copy behind the default Imp_CopyTo and Imp_CopyFrom. Large copies go through an
// 8 KiB heap buffer when one can be had; small ones, or when the heap refuses, through 4 KiB on
// the stack.
void spCopyBuffered(ZStreamR& iStreamR, ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                    uint64_t* oCountWritten)
{
    uint64_t countRead = 0;
    uint64_t countWritten = 0;
    spStore<uint64_t>(oCountRead, 0);
    spStore<uint64_t>(oCountWritten, 0);
    if (iCount == 0)
        return;

    std::unique_ptr<char[]> heapBuffer;
    if (iCount >= kCopyHeapBufferSize)
        heapBuffer.reset(new (std::nothrow) char[kCopyHeapBufferSize]);

    // Exceptions from either stream pass through unchanged; the out counts then stay 0.
    if (heapBuffer)
    {
        spCopyThrough(heapBuffer.get(), kCopyHeapBufferSize, iStreamR, iStreamW, iCount, countRead,
                      countWritten);
    }
    else
    {
        char stackBuffer[kCopyStackBufferSize];
        spCopyThrough(stackBuffer, kCopyStackBufferSize, iStreamR, iStreamW, iCount, countRead,
                      countWritten);
    }
    spStore(oCountRead, countRead);
    spStore(oCountWritten, countWritten);
}

} // namespace

// =================================================================================================
// Exceptions

ZStream::ExEndOfStream::ExEndOfStream(const char* iWhat) : std::range_error(iWhat) {}

ZStreamR::ExEndOfStream::ExEndOfStream() : ZStream::ExEndOfStream("ZStreamR::ExEndOfStream") {}

ZStreamW::ExEndOfStream::ExEndOfStream() : ZStream::ExEndOfStream("ZStreamW::ExEndOfStream") {}

ZStreamWPos::ExBadSize::ExBadSize() : std::range_error("ZStreamWPos::ExBadSize") {}

// =================================================================================================
// ZStreamR

void ZStreamR::Read(void* oDest, size_t iCount, size_t* oCountRead) const
{
    size_t countRead = 0;
    pMutable().Imp_Read(oDest, iCount, &countRead);
    spStore(oCountRead, countRead);
}

void ZStreamR::ReadAll(void* oDest, size_t iCount, size_t* oCountRead) const
{
    char* dest = static_cast<char*>(oDest);
    size_t total = 0;
    while (total < iCount)
    {
        size_t countRead = 0;
        pMutable().Imp_Read(dest + total, iCount - total, &countRead);
        if (countRead == 0)
            break;
        total += countRead;
    }
    spStore(oCountRead, total);
}

void ZStreamR::Read(void* oDest, size_t iCount) const
{
    size_t countRead;
    this->ReadAll(oDest, iCount, &countRead);
    if (countRead != iCount)
        throw ExEndOfStream();
}

void ZStreamR::Skip(uint64_t iCount, uint64_t* oCountSkipped) const
{
    uint64_t countSkipped = 0;
    pMutable().Imp_Skip(iCount, &countSkipped);
    spStore(oCountSkipped, countSkipped);
}

void ZStreamR::CopyTo(const ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                      uint64_t* oCountWritten) const
{
    pMutable().Imp_CopyToDispatch(iStreamW, iCount, oCountRead, oCountWritten);
}

size_t ZStreamR::Imp_CountReadable()
{
    return 0;
}

bool ZStreamR::Imp_WaitReadable(double /*iTimeout*/)
{
    return true;
}

void ZStreamR::Imp_CopyToDispatch(const ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                                  uint64_t* oCountWritten)
{
    const_cast<ZStreamW&>(iStreamW).Imp_CopyFrom(*this, iCount, oCountRead, oCountWritten);
}

void ZStreamR::Imp_CopyTo(const ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                          uint64_t* oCountWritten)
{
    spCopyBuffered(*this, const_cast<ZStreamW&>(iStreamW), iCount, oCountRead, oCountWritten);
}

void ZStreamR::Imp_Skip(uint64_t iCount, uint64_t* oCountSkipped)
{
    // The bytes are read into a scratch buffer on this call's stack and never looked at.
    char scratch[kSkipBufferSize];
    uint64_t skipped = 0;
    while (skipped < iCount)
    {
        const size_t wanted = size_t(std::min<uint64_t>(iCount - skipped, kSkipBufferSize));
        size_t countRead = 0;
        this->Imp_Read(scratch, wanted, &countRead);
        if (countRead == 0)
            break;
        skipped += countRead;
    }
    spStore(oCountSkipped, skipped);
}

// =================================================================================================
// ZStreamW

void ZStreamW::Write(const void* iSource, size_t iCount, size_t* oCountWritten) const
{
    spStore(oCountWritten, spWriteFully(pMutable(), static_cast<const char*>(iSource), iCount));
}

void ZStreamW::Write(const void* iSource, size_t iCount) const
{
    if (spWriteFully(pMutable(), static_cast<const char*>(iSource), iCount) != iCount)
        throw ExEndOfStream();
}

void ZStreamW::Flush() const
{
    pMutable().Imp_Flush();
}

void ZStreamW::CopyFrom(const ZStreamR& iStreamR, uint64_t iCount, uint64_t* oCountRead,
                        uint64_t* oCountWritten) const
{
    pMutable().Imp_CopyFromDispatch(iStreamR, iCount, oCountRead, oCountWritten);
}

void ZStreamW::Imp_CopyFromDispatch(const ZStreamR& iStreamR, uint64_t iCount, uint64_t* oCountRead,
                                    uint64_t* oCountWritten)
{
    const_cast<ZStreamR&>(iStreamR).Imp_CopyTo(*this, iCount, oCountRead, oCountWritten);
}

void ZStreamW::Imp_CopyFrom(const ZStreamR& iStreamR, uint64_t iCount, uint64_t* oCountRead,
                            uint64_t* oCountWritten)
{
    spCopyBuffered(const_cast<ZStreamR&>(iStreamR), *this, iCount, oCountRead, oCountWritten);
}

void ZStreamW::Imp_Flush() {}

// =================================================================================================
// Factories

void ZStreamerRFactory::Cancel() {}

void ZStreamerWFactory::Cancel() {}

void ZStreamerRWFactory::Cancel() {}

ZRef<ZStreamerR> ZStreamerRWFactory::MakeStreamerR()
{
    return this->MakeStreamerRW();
}

ZRef<ZStreamerW> ZStreamerRWFactory::MakeStreamerW()
{
    return this->MakeStreamerRW();
}

// =================================================================================================
// ZStreamW_FILE

ZStreamW_FILE::ZStreamW_FILE(FILE* iFILE) : fFILE(iFILE), fAdopted(false) {}

ZStreamW_FILE::ZStreamW_FILE(FILE* iFILE, bool iAdopt) : fFILE(iFILE), fAdopted(iAdopt) {}

ZStreamW_FILE::~ZStreamW_FILE()
{
    if (fAdopted && fFILE)
        fclose(fFILE);
}

void ZStreamW_FILE::Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten)
{
    size_t total = 0;
    if (fFILE)
    {
        const char* source = static_cast<const char*>(iSource);
        while (total < iCount)
        {
            const size_t written = fwrite(source + total, 1, iCount - total, fFILE);
            if (written == 0)
                break;
            total += written;
        }
    }
    spStore(oCountWritten, total);
}

void ZStreamW_FILE::Imp_Flush()
{
    if (fFILE)
        fflush(fFILE);
}

} // namespace Morvek
