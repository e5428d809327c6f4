// Endpoint: one per socket in use. It reads and sends through a duplicate of the application's
// descriptor that it holds while anything uses the socket, so a descriptor number the application
// closes and gets again for another socket or file is never read or written here. It is the
// engine's name for the local socket (the send user data of every connection over it, so
// connections of different sockets never match each other's datagrams) and holds the socket's
// queue of incoming connections.
//
// A socket accepts incoming connections while it has a Manager (the application holds a stream
// over it or a call waits on it), and kLingerMilliseconds after its last one went, as long as the
// application's descriptor still names it. The queue holds at most kBacklog connections, each at
// most kQueuedWindow bytes: while full, a new one replaces the oldest that has delivered no byte,
// and is refused (before the engine makes anything) when every queued one has; one that nobody
// took within kQueueMilliseconds, and the whole queue once the socket stops accepting, is reset.
//
// Threads: every member is used under the Ubermeister's lock, except the two descriptors, which
// never change.

#ifndef QUILLANE_UTP_RUNTIME_ENDPOINT_H
#define QUILLANE_UTP_RUNTIME_ENDPOINT_H

#include "morvek/ZCounted.h"

#include <cstdint>
#include <deque>
#include <set>

namespace quillane
{
namespace UTP
{

class Manager;
class StreamerRW;

class Endpoint : public Morvek::ZCounted
{
  public:
    Endpoint(int iSocket, int iDescriptor);
    ~Endpoint() override;

    void Finalize() override;

    // The application's descriptor, as handed in; never read or closed here.
    int GetSocket() const;
    // This Endpoint's duplicate of it: every read and send uses it.
    int GetDescriptor() const;

    // Whether the application still uses the socket, so that a later accept may want what arrives.
    bool Accepts() const;
    // Whether a new incoming connection would find a place in the queue.
    bool MayQueue() const;
    // Queues a new incoming connection (its stream set up), making room by resetting the oldest
    // queued one that has delivered no byte. False when there is no place for it.
    bool Queue(StreamerRW* iStreamerRW);
    // The oldest queued connection, taken out of the queue; null when none is queued.
    Morvek::ZRef<StreamerRW> TakeOldest();
    // Takes the stream out of the queue (it failed, or is being reset).
    void Unqueue(StreamerRW* iStreamerRW);
    // Resets the queued connections that nobody took in time, and the whole queue once the last
    // Manager has been gone for kLingerMilliseconds (iNow in monotonic microseconds).
    void ExpireQueue(uint64_t iNow);
    // The application's descriptor no longer names the socket (or the duplicate is gone): nothing
    // is accepted on it any more, and waiting accepts return. Its streams go on.
    void Detach();
    // The duplicate was reported closed (by someone else): it is never used again.
    void Invalidate();

    void AddManager(Manager* iManager);
    void RemoveManager(Manager* iManager);

    size_t CountManagers() const;
    size_t CountQueued() const;
    bool IsDetached() const;
    bool IsInvalid() const;

  private:
    void pClearQueue();

    const int fSocket;
    const int fDescriptor;
    std::set<Manager*> fManagers;                  // alive; no references held
    std::deque<Morvek::ZRef<StreamerRW>> fPending; // incoming, oldest first, at most kBacklog
    bool fDetached; // the application's descriptor no longer names the socket: accepts nothing
    bool fInvalid;  // the duplicate was reported closed: never polled or written again
    bool fLingering;       // no Manager, but the last one went less than kLingerMilliseconds ago
    uint64_t fLastManager; // when the last Manager went, monotonic microseconds (if fLingering)
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_ENDPOINT_H
