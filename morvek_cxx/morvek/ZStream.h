// Byte streams: ZStreamR (bytes can be read from it) and ZStreamW (bytes can be written to it),
// their shared non-virtual operations and end-of-stream exceptions; the counted streamers that
// hand out a stream so it can be shared between threads and outlive its creator; streamer
// factories; and ZStreamW_FILE, the writer over a C library FILE.
//
// A stream is a plain object used through a reference and never counted. The interfaces take no
// locks: a stream used from several threads locks inside its own Imp_Read / Imp_Write. The
// non-virtual operations are const; they reach the (non-const) Imp_ slots of the same object.
// Out-count parameters may be null when the caller does not want the count.
//
// Imp_Read contract: reads at most iCount bytes, may block until at least one is available;
// 0 for a non-zero count means the stream has ended for good. Imp_Write likewise: 0 for a
// non-zero count means the stream accepts no more bytes.

#ifndef QUILLANE_MORVEK_ZSTREAM_H
#define QUILLANE_MORVEK_ZSTREAM_H

#include "morvek/ZCounted.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace Morvek
{

class ZStreamR;
class ZStreamW;

// =================================================================================================

class ZStream
{
  public:
    // End of stream met by an operation that needed more; the message names the side.
    class ExEndOfStream : public std::range_error
    {
      protected:
        explicit ExEndOfStream(const char* iWhat);
    };
};

// =================================================================================================

class ZStreamR
{
  public:
    class ExEndOfStream : public ZStream::ExEndOfStream
    {
      public:
        ExEndOfStream(); // "ZStreamR::ExEndOfStream"
    };

    virtual ~ZStreamR() {}

    // Exactly one Imp_Read: whatever it delivered, possibly fewer bytes than asked.
    void Read(void* oDest, size_t iCount, size_t* oCountRead) const;

    // Imp_Read repeatedly until iCount bytes arrived or a call delivered 0; stores the total.
    void ReadAll(void* oDest, size_t iCount, size_t* oCountRead) const;

    // Like ReadAll, but throws ZStreamR::ExEndOfStream when the stream ends before iCount bytes
    // (the bytes already delivered stay in oDest).
    void Read(void* oDest, size_t iCount) const;

    void Skip(uint64_t iCount, uint64_t* oCountSkipped) const;

    // Copies up to iCount bytes to iStreamW; either side may supply a specialised copy.
    void CopyTo(const ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                uint64_t* oCountWritten) const;

    // The slots, in order.
    virtual void Imp_Read(void* oDest, size_t iCount, size_t* oCountRead) = 0;
    // Bytes readable without blocking; default 0.
    virtual size_t Imp_CountReadable();
    // Whether a read would not block within iTimeout seconds; default true at once.
    virtual bool Imp_WaitReadable(double iTimeout);
    // Default: the destination's Imp_CopyFrom with this stream as source.
    virtual void Imp_CopyToDispatch(const ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                                    uint64_t* oCountWritten);
    // Default: the buffered copy.
    virtual void Imp_CopyTo(const ZStreamW& iStreamW, uint64_t iCount, uint64_t* oCountRead,
                            uint64_t* oCountWritten);
    // Default: reads and discards, until iCount bytes or the end.
    virtual void Imp_Skip(uint64_t iCount, uint64_t* oCountSkipped);

  protected:
    ZStreamR& pMutable() const { return const_cast<ZStreamR&>(*this); }
};

// =================================================================================================

class ZStreamW
{
  public:
    class ExEndOfStream : public ZStream::ExEndOfStream
    {
      public:
        ExEndOfStream(); // "ZStreamW::ExEndOfStream"
    };

    virtual ~ZStreamW() {}

    // Imp_Write repeatedly until iCount bytes are taken or a call took 0; stores the total.
    void Write(const void* iSource, size_t iCount, size_t* oCountWritten) const;

    // Like the counting Write, but throws ZStreamW::ExEndOfStream when the stream stops taking
    // bytes before iCount.
    void Write(const void* iSource, size_t iCount) const;

    void Flush() const;

    // Copies up to iCount bytes from iStreamR; either side may supply a specialised copy.
    void CopyFrom(const ZStreamR& iStreamR, uint64_t iCount, uint64_t* oCountRead,
                  uint64_t* oCountWritten) const;

    // The slots, in order.
    virtual void Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten) = 0;
    // Default: the source's Imp_CopyTo with this stream as destination.
    virtual void Imp_CopyFromDispatch(const ZStreamR& iStreamR, uint64_t iCount,
                                      uint64_t* oCountRead, uint64_t* oCountWritten);
    // Default: the buffered copy.
    virtual void Imp_CopyFrom(const ZStreamR& iStreamR, uint64_t iCount, uint64_t* oCountRead,
                              uint64_t* oCountWritten);
    // Default: nothing.
    virtual void Imp_Flush();

  protected:
    ZStreamW& pMutable() const { return const_cast<ZStreamW&>(*this); }
};

// =================================================================================================
// The extended interfaces. Declared for completeness of the library; nothing here implements them.

// A read stream that can push back the last byte read.
class ZStreamU : public ZStreamR
{
  public:
    void Unread() const { const_cast<ZStreamU*>(this)->Imp_Unread(); }
    virtual void Imp_Unread() = 0;
};

// A pushback stream with a position and a size.
class ZStreamRPos : public ZStreamU
{
  public:
    uint64_t GetPosition() const { return const_cast<ZStreamRPos*>(this)->Imp_GetPosition(); }
    void SetPosition(uint64_t iPosition) const
    {
        const_cast<ZStreamRPos*>(this)->Imp_SetPosition(iPosition);
    }
    uint64_t GetSize() const { return const_cast<ZStreamRPos*>(this)->Imp_GetSize(); }

    virtual uint64_t Imp_GetPosition() = 0;
    virtual void Imp_SetPosition(uint64_t iPosition) = 0;
    virtual uint64_t Imp_GetSize() = 0;
};

// A write stream with a position and a size that can be set.
class ZStreamWPos : public ZStreamW
{
  public:
    class ExBadSize : public std::range_error
    {
      public:
        ExBadSize(); // "ZStreamWPos::ExBadSize"
    };

    uint64_t GetPosition() const { return const_cast<ZStreamWPos*>(this)->Imp_GetPosition(); }
    void SetPosition(uint64_t iPosition) const
    {
        const_cast<ZStreamWPos*>(this)->Imp_SetPosition(iPosition);
    }
    uint64_t GetSize() const { return const_cast<ZStreamWPos*>(this)->Imp_GetSize(); }
    void SetSize(uint64_t iSize) const { const_cast<ZStreamWPos*>(this)->Imp_SetSize(iSize); }
    void Truncate() const { const_cast<ZStreamWPos*>(this)->Imp_Truncate(); }

    virtual uint64_t Imp_GetPosition() = 0;
    virtual void Imp_SetPosition(uint64_t iPosition) = 0;
    virtual uint64_t Imp_GetSize() = 0;
    virtual void Imp_SetSize(uint64_t iSize) = 0;
    virtual void Imp_Truncate() = 0;
};

class ZStreamRWPos : public ZStreamRPos, public ZStreamWPos
{
};

// =================================================================================================
// Streamers: counted holders of a stream. The stream is valid while the streamer lives.

class ZStreamerR : public virtual ZCounted
{
  public:
    virtual const ZStreamR& GetStreamR() = 0;
};

class ZStreamerW : public virtual ZCounted
{
  public:
    virtual const ZStreamW& GetStreamW() = 0;
};

// Both streams under one count.
class ZStreamerRW : public virtual ZStreamerR, public virtual ZStreamerW
{
};

// A streamer holding a stream of type S by value, built from the streamer's arguments.
template <class S> class ZStreamerR_T : public ZStreamerR
{
  public:
    template <class... Args>
    explicit ZStreamerR_T(Args&&... iArgs) : fStream(std::forward<Args>(iArgs)...)
    {
    }

    const ZStreamR& GetStreamR() override { return fStream; }
    S& GetStream() { return fStream; }

  private:
    S fStream;
};

template <class S> class ZStreamerW_T : public ZStreamerW
{
  public:
    template <class... Args>
    explicit ZStreamerW_T(Args&&... iArgs) : fStream(std::forward<Args>(iArgs)...)
    {
    }

    const ZStreamW& GetStreamW() override { return fStream; }
    S& GetStream() { return fStream; }

  private:
    S fStream;
};

// =================================================================================================
// Factories: make streamers on demand; null means none could be made.

class ZStreamerRFactory : public virtual ZCounted
{
  public:
    virtual ZRef<ZStreamerR> MakeStreamerR() = 0;
    // Gives up waiting makers, for factories that block; the default does nothing.
    virtual void Cancel();
};

class ZStreamerWFactory : public virtual ZCounted
{
  public:
    virtual ZRef<ZStreamerW> MakeStreamerW() = 0;
    virtual void Cancel();
};

class ZStreamerRWFactory : public virtual ZStreamerRFactory, public virtual ZStreamerWFactory
{
  public:
    virtual ZRef<ZStreamerRW> MakeStreamerRW() = 0;

    // The read (respectively write) side of MakeStreamerRW's result, or null.
    ZRef<ZStreamerR> MakeStreamerR() override;
    ZRef<ZStreamerW> MakeStreamerW() override;
    void Cancel() override;
};

// =================================================================================================

// Writes to a C library FILE. Adopted files are closed at destruction; a FILE given alone is not
// adopted and stays open. A failing write shows only as a short count; a failing flush is ignored.
class ZStreamW_FILE : public ZStreamW
{
  public:
    explicit ZStreamW_FILE(FILE* iFILE);
    ZStreamW_FILE(FILE* iFILE, bool iAdopt);
    ~ZStreamW_FILE() override;
    ZStreamW_FILE(const ZStreamW_FILE&) = delete;
    ZStreamW_FILE& operator=(const ZStreamW_FILE&) = delete;

    void Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten) override;
    void Imp_Flush() override;

    FILE* GetFILE() const { return fFILE; }

  private:
    FILE* fFILE;
    bool fAdopted;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZSTREAM_H
