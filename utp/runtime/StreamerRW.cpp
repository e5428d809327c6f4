// StreamerRW: a connection as a blocking stream, and what the engine reports about it (see
// StreamerRW.h). Every member runs under the Ubermeister's lock (the public ones take it).

#include "utp/runtime/StreamerRW.h"

#include "utp/runtime/Callbacks.h"
#include "utp/runtime/Endpoint.h"
#include "utp/runtime/Manager.h"
#include "utp/runtime/Ubermeister.h"

#include "morvek/ZLog.h"

#include <cstring>

namespace quillane
{
namespace UTP
{

using Morvek::ZRef;
namespace ZLog = Morvek::ZLog;

StreamerRW::StreamerRW(const ZRef<Endpoint>& iEndpoint, UTPSocket* iUTPSocket)
    : fEndpoint(iEndpoint), fUTPSocket(iUTPSocket), fState(eState_Opening), fData(nullptr),
      fDataSize(0), fClosed(false), fQueued(false), fWriteWaiters(0), fQueuedAt(0),
      fReceiveBuffer(0)
{
}

StreamerRW::~StreamerRW() {}

const Morvek::ZStreamR& StreamerRW::GetStreamR()
{
    return *this;
}

const Morvek::ZStreamW& StreamerRW::GetStreamW()
{
    return *this;
}

// =================================================================================================
// Reading

void StreamerRW::Imp_Read(void* oDest, size_t iCount, size_t* oCountRead)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Imp_Read");
    Ubermeister::Lock lock;
    size_t countRead = 0;
    if (iCount && pWaitReadable(nullptr))
    {
        countRead = fBuffer.Take(static_cast<uint8_t*>(oDest), iCount);
        pTook();
    }
    if (oCountRead)
        *oCountRead = countRead;
}

size_t StreamerRW::ReadAvailable(size_t iMaxCount, std::unique_ptr<uint8_t[]>& oBytes,
                                 Interruption* iInterruption)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::ReadAvailable");
    Ubermeister::Lock lock;
    if (!iMaxCount)
        return 0;
    const size_t available = pWaitReadable(iInterruption);
    if (!available)
        return 0;
    const size_t n = iMaxCount < available ? iMaxCount : available;
    oBytes.reset(new uint8_t[n]);
    fBuffer.Take(oBytes.get(), n);
    pTook();
    return n;
}

// Waits until bytes are queued or none can come; returns how many are queued (0: the end).
size_t StreamerRW::pWaitReadable(Interruption* iInterruption)
{
    Ubermeister::Waiting waiting(iInterruption);
    for (;;)
    {
        if (!fBuffer.Empty())
            return fBuffer.Size();
        // After the peer's end, a failure, or our own close, nothing more is delivered.
        if (fState >= eState_EOF || fClosed)
            return 0;
        waiting.Wait();
    }
}

// Bytes were taken: the engine may open its advertised window again.
void StreamerRW::pTook()
{
    if (fUTPSocket)
        UTP_ReadBufferDrained(fUTPSocket);
}

// =================================================================================================
// Writing

namespace
{

// A write in progress on one stream: ends it on every way out, exceptions included, so that the
// next write may begin.
class WriteInProgress
{
  public:
    WriteInProgress(const uint8_t*& ioData, size_t& ioDataSize, const uint32_t& iWriteWaiters)
        : fData(ioData), fDataSize(ioDataSize), fWriteWaiters(iWriteWaiters)
    {
    }
    ~WriteInProgress()
    {
        fData = nullptr;
        fDataSize = 0;
        if (fWriteWaiters)
            Ubermeister::sGet().Wake();
    }
    WriteInProgress(const WriteInProgress&) = delete;
    WriteInProgress& operator=(const WriteInProgress&) = delete;

  private:
    const uint8_t*& fData;
    size_t& fDataSize;
    const uint32_t& fWriteWaiters;
};

} // namespace

void StreamerRW::Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Imp_Write");
    const size_t written = WriteAll(iSource, iCount, nullptr);
    if (oCountWritten)
        *oCountWritten = written;
}

size_t StreamerRW::WriteAll(const void* iSource, size_t iCount, Interruption* iInterruption)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::WriteAll");
    Ubermeister::Lock lock;
    Ubermeister::Waiting waiting(iInterruption);
    // One write at a time per stream: fData and fDataSize describe only one caller's bytes.
    while (fData)
    {
        ++fWriteWaiters;
        try
        {
            waiting.Wait();
        }
        catch (...)
        {
            --fWriteWaiters;
            throw;
        }
        --fWriteWaiters;
    }
    const uint8_t* const source = static_cast<const uint8_t*>(iSource);
    fData = source;
    fDataSize = iCount;
    WriteInProgress inProgress(fData, fDataSize, fWriteWaiters);
    // Stops when everything is taken, and when nothing more can be: the connection failed, is
    // gone or closed, or the peer has finished (the engine then takes no bytes at all).
    while (fDataSize && pWritable())
    {
        if (UTP_Write(fUTPSocket, fDataSize))
        {
            ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::pWrite");
        }
        else if (fDataSize)
        {
            waiting.Wait(kWriteRetrySeconds); // a writable report ends it early
        }
    }
    return size_t(fData - source);
}

bool StreamerRW::pWritable() const
{
    return fUTPSocket && !fClosed && (fState == eState_Connected || fState == eState_Writable);
}

// =================================================================================================
// Opening, closing and the queue

void StreamerRW::StartConnecting(const ZRef<Manager>& iManager)
{
    fManager = iManager;
    UTP_SetCallbacks(fUTPSocket, &kStreamCallbacks, this);
    // The engine connection's reference, taken before anything can report its destruction.
    Retain();
    UTP_Connect(fUTPSocket);
}

bool StreamerRW::IsOpening() const
{
    return fState == eState_Opening;
}

void StreamerRW::Adopt()
{
    UTP_SetCallbacks(fUTPSocket, &kStreamCallbacks, this);
    Retain(); // the engine connection's, given back when it is destroyed
    fState = eState_Writable;
}

void StreamerRW::MarkQueued(uint64_t iNow)
{
    fQueued = true;
    fQueuedAt = iNow;
    // Until taken it may hold only a little; the window opens when a call takes it.
    fReceiveBuffer = UTP_GetOption(fUTPSocket, UTP_OPTION_RCVBUF);
    UTP_SetOption(fUTPSocket, UTP_OPTION_RCVBUF, int(kQueuedWindow));
}

void StreamerRW::Take(const ZRef<Manager>& iManager)
{
    fQueued = false;
    fManager = iManager;
    UTP_SetOption(fUTPSocket, UTP_OPTION_RCVBUF, fReceiveBuffer);
    UTP_ReadBufferDrained(fUTPSocket);
}

bool StreamerRW::IsQueued() const
{
    return fQueued;
}

uint64_t StreamerRW::QueuedAt() const
{
    return fQueuedAt;
}

bool StreamerRW::HasDelivered() const
{
    // Nobody reads a queued connection, so its buffer holds all it ever delivered.
    return !fBuffer.Empty();
}

void StreamerRW::Close()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Close");
    Ubermeister::Lock lock;
    CloseConnection();
    // A reader or writer of this stream returns now: nothing more will arrive or be taken.
    Ubermeister::sGet().Wake();
}

void StreamerRW::CloseConnection()
{
    if (fClosed)
        return;
    fClosed = true;
    if (fUTPSocket)
        UTP_Close(fUTPSocket);
}

void StreamerRW::Abort()
{
    fState = eState_Failed;
    pUnqueue();
    if (!fClosed && fUTPSocket)
        UTP_Reset(fUTPSocket);
    fClosed = true;
}

void StreamerRW::pFail()
{
    fState = eState_Failed;
    pUnqueue();
    CloseConnection();
    Ubermeister::sGet().Wake();
}

void StreamerRW::pUnqueue()
{
    if (!fQueued)
        return;
    fQueued = false;
    fEndpoint->Unqueue(this);
}

void StreamerRW::Finalize()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Finalize");
    Ubermeister::Lock lock;
    if (FinalizationComplete())
        delete this;
}

int StreamerRW::GetState()
{
    Ubermeister::Lock lock;
    return fState;
}

size_t StreamerRW::CountQueued()
{
    Ubermeister::Lock lock;
    return fBuffer.Size();
}

// =================================================================================================
// The engine's reports. The engine makes them with the lock already held; the locks taken here
// only deepen it. The stream is kept alive by its engine connection's reference.

void StreamerRW::OnRead(const uint8_t* iBytes, size_t iCount)
{
    Ubermeister::Lock lock;
    if (fClosed)
        return; // failed by this layer; nobody will read more
    // Within the advertised window the queue never gets near the limit.
    const size_t limit = fQueued ? kQueuedWindow : kReceiveLimit;
    if (iCount > limit - fBuffer.Size())
        return fQueued ? Abort() : pFail();
    const bool wasEmpty = fBuffer.Empty();
    try
    {
        fBuffer.Append(iBytes, iCount);
    }
    catch (...)
    {
        return pFail();
    }
    // Readers wait only on an empty queue.
    if (wasEmpty)
        Ubermeister::sGet().Wake();
}

void StreamerRW::OnWrite(uint8_t* oDest, size_t iCount)
{
    Ubermeister::Lock lock;
    // The engine asks only during a write and never for more than is left; should it, the rest
    // is zeros rather than bytes from beyond the caller's buffer.
    const size_t n = iCount < fDataSize ? iCount : fDataSize;
    if (n)
        std::memcpy(oDest, fData, n);
    if (n < iCount)
        std::memset(oDest + n, 0, iCount - n);
    fData += n;
    fDataSize -= n;
}

size_t StreamerRW::OnGetReadBufferSize() const
{
    Ubermeister::Lock lock;
    // The real queue: the engine's advertised window closes while the reader is slow.
    return fBuffer.Size();
}

void StreamerRW::OnStateChange(int iState)
{
    Ubermeister::Lock lock;
    // The engine's reference may go below; this one keeps the stream until the broadcast.
    const ZRef<StreamerRW> hold = this;
    fState = iState;
    if (iState == STATE_CHANGE_DESTROYING)
    {
        fUTPSocket = nullptr;
        pUnqueue();
        Release();
    }
    Ubermeister::sGet().Wake();
}

void StreamerRW::OnError()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Info, "quillane::UTP::Ubermeister::pUTPOnErrorProc");
    Ubermeister::Lock lock;
    fState = eState_Failed;
    // A connection that fails before anybody took it leaves the queue and is closed.
    if (fQueued)
    {
        pUnqueue();
        CloseConnection();
    }
    Ubermeister::sGet().Wake();
}

} // namespace UTP
} // namespace quillane
