// Helpers shared by the stream layer's tests: waits with a limit, stream pairs over loopback
// sockets, and a peer that speaks raw uTP (version 1) from a plain socket. Each test runs in a
// process of its own (the runner is process-wide); a hang ends the process through sWithin. Times
// are generous: only a hang, or a wait of the order of the runner's idle second, fails.

#ifndef QUILLANE_TESTS_UTP_RUNTIME_RUNTIME_TEST_SUPPORT_H
#define QUILLANE_TESTS_UTP_RUNTIME_RUNTIME_TEST_SUPPORT_H

#include "utp/runtime/DatagramMask.h"
#include "utp/runtime/Manager.h"
#include "utp/runtime/StreamerRW.h"
#include "utp/runtime/Ubermeister.h"

#include "utp/engine/utp_packet.h"
#include "tests/support/TestUdp.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace quillane
{
namespace test
{

using namespace quillane::UTP;
using Morvek::ZRef;

typedef std::vector<uint8_t> Bytes;

// Runs iWork on a thread of its own; still running after iSeconds is a hang, which ends the
// process (a thread stuck in the layer cannot be brought back).
template <class F> void sWithin(double iSeconds, F iWork)
{
    std::future<void> done = std::async(std::launch::async, iWork);
    if (done.wait_for(std::chrono::duration<double>(iSeconds)) != std::future_status::ready)
    {
        std::fprintf(stderr, "Hung: still running after %.0f s\n", iSeconds);
        std::_Exit(1);
    }
}

inline Ubermeister& sU()
{
    return Ubermeister::sGet();
}

inline Bytes sPattern(size_t iSize, uint8_t iSeed)
{
    Bytes result(iSize);
    for (size_t x = 0; x < iSize; ++x)
        result[x] = uint8_t(x * 131 + iSeed + (x >> 12));
    return result;
}

inline size_t sWrite(const ZRef<StreamerRW>& iStream, const Bytes& iBytes)
{
    size_t written = 0;
    iStream->GetStreamW().Write(iBytes.data(), iBytes.size(), &written);
    return written;
}

inline Bytes sB(const char* iText)
{
    return Bytes(iText, iText + std::strlen(iText));
}

// Reads until iCount bytes arrived or the stream ended.
inline Bytes sReadAll(const ZRef<StreamerRW>& iStream, size_t iCount)
{
    Bytes result(iCount);
    size_t got = 0;
    iStream->GetStreamR().ReadAll(result.data(), iCount, &got);
    result.resize(got);
    return result;
}

inline ZRef<StreamerRW> sAccept(int iSocket)
{
    return sU().MakeManager(iSocket)->Accept(nullptr);
}

inline ZRef<StreamerRW> sConnect(int iSocket, const TestUdp& iTo)
{
    return sU().MakeManager(iSocket)->Connect(iTo.Addr(), iTo.AddrLen());
}

struct Pair
{
    ZRef<StreamerRW> fAccepted, fConnected;

    void Close()
    {
        fConnected->Close();
        fAccepted->Close();
    }
};

// fAccepted on iListen, fConnected on iConnect.
inline Pair sPair(const TestUdp& iListen, const TestUdp& iConnect)
{
    Pair result;
    sWithin(30,
            [&]
            {
                std::thread listener([&] { result.fAccepted = sAccept(iListen.fFD); });
                result.fConnected = sConnect(iConnect.fFD, iListen);
                listener.join();
            });
    EXPECT_TRUE(result.fAccepted && result.fConnected);
    return result;
}

// A peer that speaks raw uTP (version 1) from a plain socket.
const uint16_t kRawSeq = 500;

// A masked packet: header, extension bits on a SYN, a time stamp whose low byte is the key, then
// iPayload bytes.
inline Bytes sRawPacket(int iType, uint32_t iConnId, uint16_t iSeqNr, uint16_t iAckNr,
                 size_t iPayload = 0)
{
    using namespace quillane::UTP::Engine;
    const bool syn = iType == ST_SYN;
    Bytes packet(kHeaderSizeV1 + (syn ? kExtBitsSize : 0) + iPayload, 0x5C);
    sWriteHeader(packet.data(), 1, iType, syn ? EXT_BITS : EXT_NONE, iConnId, 1 << 20, iSeqNr,
                 iAckNr);
    if (syn)
        sWriteExtensionBits(packet.data() + kHeaderSizeV1);
    if (iType != ST_RESET)
        sStore32(packet.data() + 4, 0x0A0B0C5A);
    sMaskDatagram(packet.data(), packet.size());
    return packet;
}

inline void sRawSend(const TestUdp& iFrom, const TestUdp& iTo, const Bytes& iPacket)
{
    ASSERT_TRUE(iFrom.SendTo(iTo, iPacket.data(), iPacket.size()));
}

// The next datagram on iSocket (waiting at most ten seconds), unmasked.
inline Bytes sRawReceive(const TestUdp& iSocket)
{
    Bytes datagram(2048);
    datagram.resize(size_t(std::max(0L, iSocket.Receive(datagram.data(), 2048, 10000))));
    sMaskDatagram(datagram.data(), datagram.size());
    return datagram;
}

// Answers the next datagram on iPeer, a SYN from iFrom, with a reset, as a refusing peer does.
inline void sRefuseNextSyn(const TestUdp& iPeer, const TestUdp& iFrom)
{
    using namespace quillane::UTP::Engine;
    const Bytes syn = sRawReceive(iPeer);
    ASSERT_EQ(kHeaderSizeV1 + kExtBitsSize, syn.size());
    ASSERT_EQ((ST_SYN << 4) | 1, syn[0]);
    sRawSend(iPeer, iFrom, sRawPacket(ST_RESET, sLoad16(&syn[2]), kRawSeq, sLoad16(&syn[16])));
}

// Sends iTo a packet for no connection and waits for the reset that answers it: by then the
// runner has processed everything sent to iTo before (an empty receive queue can precede
// loopback delivery). Returns the other datagrams iPeer got meanwhile, unmasked.
inline std::vector<Bytes> sBarrier(const TestUdp& iPeer, const TestUdp& iTo)
{
    using namespace quillane::UTP::Engine;
    static uint32_t sId = 40000;
    sRawSend(iPeer, iTo, sRawPacket(ST_DATA, ++sId, kRawSeq, 0));
    std::vector<Bytes> others;
    for (Bytes answer;;)
    {
        answer = sRawReceive(iPeer);
        EXPECT_FALSE(answer.empty());
        if (answer.empty() ||
            (answer.size() >= 4 && answer[0] >> 4 == ST_RESET && sLoad16(&answer[2]) == sId))
        {
            return others;
        }
        others.push_back(answer);
    }
}

// The connection ids of the datagrams of type iType among iDatagrams.
inline std::vector<uint16_t> sIdsOf(const std::vector<Bytes>& iDatagrams, int iType)
{
    std::vector<uint16_t> result;
    for (const Bytes& datagram : iDatagrams)
    {
        if (datagram.size() >= 20 && datagram[0] >> 4 == iType)
            result.push_back(quillane::UTP::Engine::sLoad16(&datagram[2]));
    }
    return result;
}

// A writer of 24 MiB on fConnected while fAccepted reads nothing: returns once the receiver
// holds more than 1 MiB.
struct StalledWriter
{
    Pair fPair;
    const Bytes fData = sPattern(24 << 20, 3);
    std::atomic<size_t> fWritten{0};
    std::atomic<bool> fDone{false};
    std::thread fThread;

    StalledWriter(const TestUdp& iA, const TestUdp& iB) : fPair(sPair(iA, iB))
    {
        fThread = std::thread(
            [this]
            {
                fWritten = sWrite(fPair.fConnected, fData);
                fDone = true;
            });
        EXPECT_TRUE(sEventually([&] { return fPair.fAccepted->CountQueued() > (1u << 20); }));
    }
    ~StalledWriter()
    {
        fPair.Close();
        fThread.join();
    }
};

} // namespace test
} // namespace quillane

#endif // QUILLANE_TESTS_UTP_RUNTIME_RUNTIME_TEST_SUPPORT_H
