// The tests' platform layer, UDP facility: the socket calls behind TestUdp (tests/support/
// TestUdp.h), on a socket named by the int the stream layer takes. Implemented per system
// (Platform_TestUdp_posix.cpp, _win.cpp; the build picks one). Each call but the first does what
// the TestUdp member of the same name promises. Test threads only.

#ifndef QUILLANE_TESTS_SUPPORT_PLATFORM_PLATFORM_TESTUDP_H
#define QUILLANE_TESTS_SUPPORT_PLATFORM_PLATFORM_TESTUDP_H

#include <cstddef>

struct sockaddr;

namespace quillane::test::Platform
{

// A UDP socket of ioAddress's family bound to it (iLength bytes), whose bound address then
// replaces it (ioLength its length); -1 when none could be made and bound. Starts Windows
// Sockets for the process the first time.
int sTestUdp_OpenBound(sockaddr* ioAddress, int& ioLength);
void sTestUdp_Close(int iSocket);

bool sTestUdp_AllowHighDescriptors(int iHighest);
// Moves the socket to descriptor iTarget, closing iSocket.
bool sTestUdp_MoveTo(int iSocket, int iTarget);

bool sTestUdp_SendTo(int iSocket, const sockaddr* iAddress, int iAddressLength, const void* iData,
                     size_t iLength);
bool sTestUdp_WaitReadable(int iSocket, int iMilliseconds);
// Receives a datagram known to be waiting: its length, or -1.
long sTestUdp_Receive(int iSocket, void* oBuffer, size_t iCapacity);

bool sTestUdp_SetBlocking(int iSocket, bool iBlocking);
bool sTestUdp_IsBlocking(int iSocket);
int sTestUdp_BufferSize(int iSocket, bool iReceive);
bool sTestUdp_SetBufferSize(int iSocket, bool iReceive, int iBytes);
bool sTestUdp_SendWithoutChecksums(int iSocket);

} // namespace quillane::test::Platform

#endif // QUILLANE_TESTS_SUPPORT_PLATFORM_PLATFORM_TESTUDP_H
