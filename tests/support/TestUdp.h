// Test helper: a UDP socket bound to the loopback address of its family (port chosen by the
// system), and the plain socket calls a test makes on it as a peer, without the code under test.
// Declared once here and implemented per OS (test_udp_posix.cpp, test_udp_win.cpp; the build
// picks one), so that the suites include no socket headers of their own; on Windows the socket
// layer is started by the first TestUdp.
//
// A socket stays open for the rest of the process: a connection over it may still be closing
// after the test, and the stream layer polls its descriptor until then; a descriptor closed and
// reused by a later test's socket would hand that socket's datagrams to the old connection.
// Test threads only.

#ifndef QUILLANE_TESTS_SUPPORT_TESTUDP_H
#define QUILLANE_TESTS_SUPPORT_TESTUDP_H

#include <cstddef>

struct sockaddr;

namespace testsupport
{

enum Family
{
    eIPv4,
    eIPv6
};

// Room for any socket address the system reports.
struct TestAddress
{
    alignas(8) unsigned char fBytes[128];
    int fLength;

    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(fBytes); }
};

struct TestUdp
{
    // The socket as the stream layer takes it (a descriptor, or a Windows socket handle that fits
    // an int); -1 when the family has no loopback here.
    int fFD;
    TestAddress fAddr; // the bound address

    explicit TestUdp(Family iFamily = eIPv4);
    TestUdp(const TestUdp&) = delete;
    TestUdp& operator=(const TestUdp&) = delete;

    void Close();

    const sockaddr* Addr() const { return fAddr.Get(); }
    int AddrLen() const { return fAddr.fLength; }

    // Whether a test may choose its sockets' descriptors (MoveTo): POSIX only; Windows hands
    // out socket handles itself.
    static bool sCanMove();
    // Moves the socket to descriptor iTarget; false where that cannot be done.
    bool MoveTo(int iTarget);

    // Lets the process hold at least iCount open sockets (raises the descriptor limit where there
    // is one); false when it cannot.
    static bool sAllowSockets(int iCount);

    // One datagram to iTo's address (or to iAddress): false unless all of it was sent.
    bool SendTo(const TestUdp& iTo, const void* iData, size_t iLength) const;
    bool SendTo(const sockaddr* iAddress, int iAddressLength, const void* iData,
                size_t iLength) const;

    // Waits at most iMilliseconds for something to receive (a datagram, or an error report a
    // receive would return): false when nothing came.
    bool WaitReadable(int iMilliseconds) const;

    // Waits at most iMilliseconds for a datagram and receives it (truncated to iCapacity) and,
    // when oFrom is given, its source. The datagram's length, or -1 when none came or the receive
    // failed.
    long ReceiveFrom(void* oBuffer, size_t iCapacity, int iMilliseconds,
                     TestAddress* oFrom = nullptr) const;

    // The socket's mode. IsBlocking needs a socket with no datagram waiting: on Windows, which
    // cannot report the mode, it finds out from a receive under a short receive time-out (a
    // blocking socket times out, a non-blocking one refuses at once).
    bool SetBlocking(bool iBlocking) const;
    bool IsBlocking() const;

    // SO_RCVBUF (iReceive) or SO_SNDBUF, as the system reports and takes them; -1 on failure.
    int BufferSize(bool iReceive) const;
    bool SetBufferSize(bool iReceive, int iBytes) const;

    // Makes the socket send its datagrams without UDP checksums; false where the system has no
    // such option (Linux has one, and cannot send segmented from such a socket).
    bool SendWithoutChecksums() const;
};

} // namespace testsupport

#endif // QUILLANE_TESTS_SUPPORT_TESTUDP_H
