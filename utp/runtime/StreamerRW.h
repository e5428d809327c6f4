// StreamerRW: one per uTP connection, incoming or outgoing, a ZStreamR, a ZStreamW and a
// ZStreamerRW at once. A read waits until a byte is there or none can come; a write waits until
// the engine took every byte or the connection can take no more. The engine's callbacks
// (Callbacks.cpp) report to it through the On* members.
//
// A write copies the caller's bytes once, straight into the engine's packets (fData); a read
// copies them once, out of fBuffer. The bytes queued in fBuffer are reported to the engine, so
// its advertised window closes while the reader is slow.
//
// Threads: any number of readers at once and one writer at a time (overlapping writes wait for
// each other); every operation takes the Ubermeister's lock; the engine's reports come with it
// held.

#ifndef QUILLANE_UTP_RUNTIME_STREAMERRW_H
#define QUILLANE_UTP_RUNTIME_STREAMERRW_H

#include "utp/engine/utp.h"
#include "utp/runtime/ByteQueue.h"
#include "utp/runtime/Constants.h"

#include "morvek/ZStream.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillane
{
namespace UTP
{

class Endpoint;
class Manager;

class StreamerRW : public Morvek::ZStreamerRW, private Morvek::ZStreamR, private Morvek::ZStreamW
{
  public:
    StreamerRW(const Morvek::ZRef<Endpoint>& iEndpoint, UTPSocket* iUTPSocket);
    ~StreamerRW() override;

    const Morvek::ZStreamR& GetStreamR() override;
    const Morvek::ZStreamW& GetStreamW() override;

    // Waits like a read, then moves up to iMaxCount bytes into a new buffer of exactly as many
    // bytes as were there (so a huge count allocates nothing more). Returns the count; 0 when
    // the stream has ended (oBytes untouched then). Throws std::bad_alloc, taking nothing, and
    // whatever iInterruption (may be null) throws, taking nothing.
    size_t ReadAvailable(size_t iMaxCount, std::unique_ptr<uint8_t[]>& oBytes,
                         Interruption* iInterruption = nullptr);

    // Writes all iCount bytes, waiting while the engine's window is full; returns the count the
    // engine took, less than iCount only when the connection can take no more. Throws whatever
    // iInterruption (may be null) throws; the bytes taken by then stay taken.
    size_t WriteAll(const void* iSource, size_t iCount, Interruption* iInterruption = nullptr);

    // Starts closing the connection. Further reads return what is queued, then end; a write in
    // progress returns its count. A second Close does nothing.
    void Close();

    void Finalize() override;

    // Diagnostics (each takes the lock).
    int GetState();
    size_t CountQueued();

    // The rest is the layer's own, under the Ubermeister's lock.

    // A new outgoing connection (its engine connection created): the callbacks are installed,
    // the engine connection takes its reference, and the SYN goes out; the caller waits for
    // IsOpening to turn false.
    void StartConnecting(const Morvek::ZRef<Manager>& iManager);
    bool IsOpening() const;
    // A new incoming connection: the callbacks are installed and the engine connection takes
    // its reference.
    void Adopt();
    // A queued connection is taken by a call of iManager: its window opens to the full receive
    // buffer.
    void Take(const Morvek::ZRef<Manager>& iManager);
    // Queued: until taken it may hold only kQueuedWindow bytes; iNow is when (monotonic µs).
    void MarkQueued(uint64_t iNow);
    bool IsQueued() const;
    uint64_t QueuedAt() const;
    bool HasDelivered() const;
    // Ends a connection that nobody holds: the peer is told by a reset, and the engine destroys
    // it at its next sweep.
    void Abort();
    // Ends the wait of a connect that was interrupted.
    void CloseConnection();

    // The engine's reports (Callbacks.cpp).
    void OnRead(const uint8_t* iBytes, size_t iCount);
    void OnWrite(uint8_t* oDest, size_t iCount);
    size_t OnGetReadBufferSize() const;
    void OnStateChange(int iState);
    void OnError();

  private:
    void Imp_Read(void* oDest, size_t iCount, size_t* oCountRead) override;
    void Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten) override;

    size_t pWaitReadable(Interruption* iInterruption);
    void pTook();
    bool pWritable() const;
    void pFail();
    void pUnqueue();

    // All below under the Ubermeister's lock, except fEndpoint (set at construction).
    const Morvek::ZRef<Endpoint> fEndpoint;
    Morvek::ZRef<Manager> fManager; // the one that handed it out; null while queued
    UTPSocket* fUTPSocket;          // null once the engine reported the connection destroyed
    int fState;                     // eState_ values; the latest report wins
    ByteQueue fBuffer;              // received, not yet read
    const uint8_t* fData;           // next caller byte the engine may take; null when no write runs
    size_t fDataSize;               // caller bytes still to be taken
    bool fClosed;           // UTP_Close (or UTP_Reset) was called (at most once per connection)
    bool fQueued;           // in its socket's queue of incoming connections
    uint32_t fWriteWaiters; // writes waiting for the one in progress to end
    uint64_t fQueuedAt;     // while queued: when, in monotonic microseconds
    int fReceiveBuffer;     // while queued: the engine's receive buffer to give back when taken
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_STREAMERRW_H
