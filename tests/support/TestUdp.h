// Test helper: a UDP socket bound to the loopback address of its family, and the plain socket
// calls a test makes as a peer, without the code under test. A public helper of quillane::test
// over a platform part: the loopback addresses are written once (TestUdp.cpp), the members that
// make socket calls are defined per system in platform/Platform_TestUdp_<os>.cpp (the first
// TestUdp starts Windows Sockets). A socket stays open unless closed explicitly: a connection
// over it may still be closing after the test, and a reused descriptor would hand a later
// socket's datagrams to it. Test threads only.

#ifndef QUILLANE_TESTS_SUPPORT_TESTUDP_H
#define QUILLANE_TESTS_SUPPORT_TESTUDP_H

#include <cstddef>

struct sockaddr;

namespace quillane::test
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

    // Lets MoveTo use descriptors up to iHighest (raising the process's limit); false where it
    // cannot, as on Windows, which chooses socket handles itself.
    static bool sAllowHighDescriptors(int iHighest);
    // Moves the socket to descriptor iTarget; false where that cannot be done.
    bool MoveTo(int iTarget);

    // One datagram to iAddress (or to iTo's): false unless all of it was sent.
    bool SendTo(const sockaddr* iAddress, int iAddressLength, const void* iData,
                size_t iLength) const;
    bool SendTo(const TestUdp& iTo, const void* iData, size_t iLength) const
    {
        return SendTo(iTo.Addr(), iTo.AddrLen(), iData, iLength);
    }

    // Waits at most iMilliseconds for something to receive (a datagram, or an error report a
    // receive would return): false when nothing came.
    bool WaitReadable(int iMilliseconds) const;

    // Waits at most iMilliseconds for a datagram and receives it (truncated to iCapacity): its
    // length, or -1 when none came or the receive failed.
    long Receive(void* oBuffer, size_t iCapacity, int iMilliseconds) const;

    // The socket's mode. IsBlocking needs no datagram waiting: Windows cannot report the mode,
    // so a receive under a short time-out finds it out there (a blocking socket times out).
    bool SetBlocking(bool iBlocking) const;
    bool IsBlocking() const;

    // SO_RCVBUF (iReceive) or SO_SNDBUF, as the system reports and takes them; -1 on failure.
    int BufferSize(bool iReceive) const;
    bool SetBufferSize(bool iReceive, int iBytes) const;

    // Makes the socket send without UDP checksums (Linux then refuses segmented sends); false
    // where the system has no such option.
    bool SendWithoutChecksums() const;

  private:
    // A UDP socket of ioAddress's family bound to it, whose bound address then replaces it; -1
    // when none could be made and bound.
    static int spOpenBound(TestAddress& ioAddress);
};

} // namespace quillane::test

#endif // QUILLANE_TESTS_SUPPORT_TESTUDP_H
