// What only the Win32 socket file does. Its overlapped receive, on a socket with nothing waiting
// (a second reader of the socket causes that between the readiness check and the receive), must
// return, lose nothing, write nothing after it returned, leave the socket blocking, and queue
// nothing to the application's completion port. A reset report for an earlier send costs one
// receive. The int interface needs socket handles that fit an int. Also the tests' own Wine
// check, which the skip of a test here (and tests of what only real Windows has) rely on.

#include "morvek/platform/Platform_Socket_win.h"

#include "morvek/platform/Platform_Address.h"
#include "tests/support/TestUdp.h"
#include "tests/support/platform/Platform_TestOS.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Morvek;
using quillane::test::TestUdp;

TEST(Platform_Socket_win, APostedReceiveWithNothingWaitingReturnsAndLosesNothing)
{
    TestUdp socket, peer;
    ASSERT_GE(socket.fFD, 0);
    for (int round = 0; round < 20; ++round)
    {
        char buffer[64], got[64];
        std::memset(buffer, '#', sizeof(buffer));
        Platform::SocketAddress source;
        ASSERT_EQ(-1, Platform::sSocket_ReceivePosted(socket.fFD, buffer, sizeof(buffer), source));
        // The next datagram reaches the next reader whole; the cancelled buffer stays untouched.
        const std::string text = "datagram " + std::to_string(round);
        ASSERT_TRUE(peer.SendTo(socket, text.data(), text.size()));
        ASSERT_EQ(long(text.size()), socket.Receive(got, sizeof(got), 10000));
        EXPECT_EQ(text, std::string(got, text.size()));
        EXPECT_EQ(std::string(sizeof(buffer), '#'), std::string(buffer, sizeof(buffer)));
    }
    EXPECT_TRUE(socket.IsBlocking());
}

TEST(Platform_Socket_win, NothingReachesTheApplicationsCompletionPort)
{
    TestUdp socket, peer;
    ASSERT_GE(socket.fFD, 0);
    const HANDLE port =
        ::CreateIoCompletionPort(reinterpret_cast<HANDLE>(SOCKET(socket.fFD)), nullptr, 7, 0);
    ASSERT_TRUE(port != nullptr);
    char buffer[64];
    Platform::SocketAddress source;
    EXPECT_EQ(-1, Platform::sSocket_ReceivePosted(socket.fFD, buffer, sizeof(buffer), source));
    ASSERT_TRUE(peer.SendTo(socket, "queued", 6));
    uint8_t ready = 0;
    ASSERT_EQ(1, Platform::sSocket_WaitReadable(&socket.fFD, &ready, 1, 10000));
    EXPECT_EQ(6, Platform::sSocket_ReceiveFrom(socket.fFD, buffer, sizeof(buffer), source));

    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL got = ::GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 200);
    EXPECT_FALSE(got || overlapped) << "a completion of " << bytes << " bytes was queued";
    ::CloseHandle(port);
}

TEST(Platform_Socket_win, SocketHandlesFitAnInt)
{
    const TestUdp first; // starts the socket layer
    ASSERT_GE(first.fFD, 0);
    std::vector<SOCKET> sockets;
    for (int x = 0; x < 200; ++x)
    {
        sockets.push_back(::socket(AF_INET, SOCK_DGRAM, 0));
        ASSERT_NE(INVALID_SOCKET, sockets.back());
        EXPECT_EQ(sockets.back(), SOCKET(intptr_t(int(sockets.back()))));
    }
    for (SOCKET theSocket : sockets)
        ::closesocket(theSocket);
}

TEST(Platform_Socket_win, AResetReportForAnEarlierSendHoldsUpNoDatagram)
{
    TestUdp socket, peer, gone;
    ASSERT_GE(gone.fFD, 0);
    const quillane::test::TestAddress goneAddress = gone.fAddr;
    gone.Close();
    ASSERT_TRUE(socket.SendTo(goneAddress.Get(), goneAddress.fLength, "x", 1));
    uint8_t ready = 0;
    // Windows shows the report as readiness; Wine, which has no such report, shows nothing.
    if (Platform::sSocket_WaitReadable(&socket.fFD, &ready, 1, 2000) != 1 &&
        quillane::test::Platform::sTestOS_RunningUnderWine())
        GTEST_SKIP() << "needs real Windows: Wine reports no reset for a datagram to a closed port";
    ASSERT_TRUE(peer.SendTo(socket, "after", 5));
    std::string got;
    int failures = 0;
    for (int attempt = 0; attempt < 20 && got.empty(); ++attempt)
    {
        char buffer[16];
        Platform::SocketAddress source;
        if (Platform::sSocket_WaitReadable(&socket.fFD, &ready, 1, 1000) != 1)
            continue;
        const ptrdiff_t length =
            Platform::sSocket_ReceiveFrom(socket.fFD, buffer, sizeof(buffer), source);
        failures += length < 0;
        if (length >= 0)
            got.assign(buffer, size_t(length));
    }
    EXPECT_EQ("after", got);
    EXPECT_LE(failures, 1);
    EXPECT_TRUE(socket.IsBlocking());
}

TEST(TestHarness, KnowsWhetherItRunsUnderWine)
{
    // The Windows build's Wine launcher (cmake/wine-run.sh.in) marks every program it starts.
    EXPECT_EQ(std::getenv("QN_WINE_LAUNCHER") != nullptr,
              quillane::test::Platform::sTestOS_RunningUnderWine());
}
