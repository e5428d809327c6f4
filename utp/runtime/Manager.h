// Manager: one per call that hands a socket in, alive while that call runs and while a stream it
// handed out lives (its Endpoint accepts incoming connections only while it has Managers).
// Accepting (MakeStreamerRW, Accept) takes the oldest incoming connection queued on its socket,
// whichever Manager's pass read its first datagram; Connect opens an outgoing connection through
// its socket.
//
// Threads: any; every operation takes the Ubermeister's lock.

#ifndef QUILLANE_UTP_RUNTIME_MANAGER_H
#define QUILLANE_UTP_RUNTIME_MANAGER_H

#include "utp/runtime/Constants.h"

#include "morvek/ZStream.h"

struct sockaddr;

namespace quillane
{
namespace UTP
{

class Endpoint;
class StreamerRW;

class Manager : public Morvek::ZStreamerRWFactory
{
  public:
    explicit Manager(const Morvek::ZRef<Endpoint>& iEndpoint);
    ~Manager() override;

    // Waits, with no time limit, for an incoming connection on this socket and takes the oldest;
    // null when the application's descriptor no longer names the socket.
    Morvek::ZRef<Morvek::ZStreamerRW> MakeStreamerRW() override;
    // The same, letting iInterruption (may be null) check while it waits.
    Morvek::ZRef<StreamerRW> Accept(Interruption* iInterruption);

    // Opens a connection to the address and waits until the engine has connected or given up;
    // the stream is returned either way (a failed one reads nothing and takes no bytes). Whatever
    // iInterruption (may be null) throws ends the wait and closes the connection.
    Morvek::ZRef<StreamerRW> Connect(const sockaddr* iAddress, int iAddressLength,
                                     Interruption* iInterruption = nullptr);

    void Finalize() override;

    int GetSocket() const;
    const Morvek::ZRef<Endpoint>& GetEndpoint() const;

  private:
    const Morvek::ZRef<Endpoint> fEndpoint;
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_MANAGER_H
