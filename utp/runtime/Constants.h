// The stream layer's constants: its bounds (what a peer can make it hold or wait for), its
// timing, and the states of a stream. Each bound is a default in one place.

#ifndef QUILLANE_UTP_RUNTIME_CONSTANTS_H
#define QUILLANE_UTP_RUNTIME_CONSTANTS_H

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{

// Socket buffers are raised to what a request for this many bytes gives.
const int kSocketBufferSize = 131072;
// Incoming connections queued on one socket and not yet taken.
const size_t kBacklog = 128;
// A queued connection that nobody took within this many milliseconds is reset.
const uint32_t kQueueMilliseconds = 30000;
// A socket whose last stream has gone and on which no call waits keeps accepting, and keeps its
// queue, this many milliseconds more: a server that closes one stream and then asks for the next
// loses nothing that arrived in between, however soon the closed one was destroyed.
const uint32_t kLingerMilliseconds = 5000;
// Bytes a queued connection may hold: its receive buffer while queued, so its advertised window
// closes there; a peer that sends past it is reset. A socket's queue holds at most
// kBacklog * kQueuedWindow bytes (8 MiB).
const uint32_t kQueuedWindow = 64 * 1024;
// Datagrams read from one socket in one pass of the runner, so that timers run between passes.
const size_t kDatagramsPerPass = 64;
// Datagrams read from a socket with one call, at most (each into a buffer of kDatagramCapacity;
// only the pages a datagram fills are ever touched).
const size_t kReceiveBatch = 32;
// Received bytes a stream may hold: twice the largest window the engine advertises (3.5 MiB),
// rounded up. Only a peer that ignores the window gets there.
const size_t kReceiveLimit = 8 * 1024 * 1024;
// Room for the largest UDP datagram.
const size_t kDatagramCapacity = 65536;
// The runner's longest wait for readable sockets, and an idle runner's longest sleep.
const uint32_t kPollMilliseconds = 50;
const double kIdleSeconds = 1.0;
// How often the runner checks that each application descriptor still names its socket, and
// expires queued connections.
const uint32_t kUpkeepMilliseconds = 250;
// A write whose window is full tries again at least this often.
const double kWriteRetrySeconds = 1.0;
// A blocking call given an Interruption lets it check at least this often.
const double kInterruptSeconds = 0.1;

// Values of a StreamerRW's state. 1 to 4 are the engine's reports as they arrive.
enum
{
    eState_Opening = 0,   // outgoing, not yet answered
    eState_Connected = 1, // STATE_CHANGE_CONNECTED
    eState_Writable = 2,  // STATE_CHANGE_WRITABLE; also every incoming connection at once
    eState_EOF = 3,       // the peer has finished sending
    eState_Destroyed = 4, // the engine connection is gone
    eState_Failed = 5     // any engine error
};

// What a blocking call lets its caller check while it waits: Check runs on the waiting thread
// with the layer's lock given up, about every kInterruptSeconds, and may throw to end the call.
// What the call already did stays done: bytes a write handed to the engine stay sent, a queued
// connection an accept did not take stays queued; a connect in progress is closed.
class Interruption
{
  public:
    virtual void Check() = 0;

  protected:
    ~Interruption() = default;
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_CONSTANTS_H
