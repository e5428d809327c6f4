// The stream layer's two entry points, below the Python stream functions: open a stream over a
// socket the application owns, and start closing one.

#ifndef QUILLANE_UTP_RUNTIME_OPENSTREAM_H
#define QUILLANE_UTP_RUNTIME_OPENSTREAM_H

#include "utp/runtime/Constants.h"

#include "morvek/ZStream.h"

#include <string>

namespace quillane
{
namespace UTP
{

// Registers a Manager for iSocket, then accepts (iListen) or connects to iHost (a name or dotted
// IPv4 address) at the low 16 bits of iPort. Null when the host yields no IPv4 address, and when
// an accept ends because the application's descriptor no longer names the socket. Throws
// std::runtime_error for a descriptor that is not an IPv4 UDP socket, std::bad_alloc when the
// runner cannot be started, and whatever iInterruption (may be null) throws.
Morvek::ZRef<Morvek::ZStreamerRW> sOpenStream(int iSocket, const std::string& iHost, int iPort,
                                              bool iListen, Interruption* iInterruption);

// Starts closing the stream's connection (when it is a uTP stream).
void sCloseStream(const Morvek::ZRef<Morvek::ZStreamerRW>& iStreamerRW);

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_OPENSTREAM_H
