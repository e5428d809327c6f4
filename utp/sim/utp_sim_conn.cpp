// The application side of a simulated connection: writes a generated stream, checks the received
// one, drains its read buffer and closes when done. It also checks the engine's side of the
// callback contract (no callback after destruction, no write callback outside UTP_Write or for
// more than was offered, no bytes beyond the peer's stream) and records violations as faults.
//
// Engine callbacks only record and schedule; engine calls happen in scheduled steps, as the real
// stream layer makes them from its own threads.

#include "utp/sim/utp_sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace quillane::UTP::Sim
{

namespace
{

uint64_t spNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

const size_t kMaxStatesKept = 64;

} // namespace

// The engine's callbacks, forwarding to the SimConn given as user data.
struct SimConnCallbacks
{
    static SimConn* sConn(void* iUserData) { return static_cast<SimConn*>(iUserData); }
    static void sOnRead(void* iUserData, const uint8_t* iBytes, size_t iCount)
    {
        sConn(iUserData)->pOnRead(iBytes, iCount);
    }
    static void sOnWrite(void* iUserData, uint8_t* oDest, size_t iCount)
    {
        sConn(iUserData)->pOnWrite(oDest, iCount);
    }
    static size_t sReadBufferSize(void* iUserData) { return sConn(iUserData)->pReadBufferSize(); }
    static void sOnStateChange(void* iUserData, int iState)
    {
        sConn(iUserData)->pOnStateChange(iState);
    }
    static void sOnError(void* iUserData, int iCode) { sConn(iUserData)->pOnError(iCode); }
    static void sOnOverhead(void* iUserData, bool iSend, size_t iCount, int iCategory)
    {
        sConn(iUserData)->pOnOverhead(iSend, iCount, iCategory);
    }
};

const UTPCallbacks SimConn::sCallbacks = {
    &SimConnCallbacks::sOnRead,         &SimConnCallbacks::sOnWrite,
    &SimConnCallbacks::sReadBufferSize, &SimConnCallbacks::sOnStateChange,
    &SimConnCallbacks::sOnError,        &SimConnCallbacks::sOnOverhead};

SimConn::SimConn(Sim* iSim, int iEndpoint, UTPSocket* iSocket, const AppConfig& iConfig,
                 bool iIncoming)
    : fSim(iSim), fEndpoint(iEndpoint), fSocket(iSocket), fConfig(iConfig), fIncoming(iIncoming),
      fSendPattern(iConfig.fSendSeed), fExpectPattern(iConfig.fExpectSeed)
{
}

void SimConn::pFault(const std::string& iWhat)
{
    if (fFaults.size() < 16)
        fFaults.push_back(iWhat);
}

// ---------------------------------------------------------------------------------------------
// Engine callbacks

void SimConn::pOnRead(const uint8_t* iBytes, size_t iCount)
{
    if (fDestroyed)
        return pFault("read callback after destruction");
    if (fConfig.fVerify)
    {
        if (fReceived + iCount > fConfig.fExpectBytes)
            pFault("received more bytes than the peer sent");
        else if (fConfig.fCheckContent && fFirstMismatch < 0)
        {
            const long at = fExpectPattern.Mismatch(fReceived, iBytes, iCount);
            if (at >= 0)
                fFirstMismatch = (long long)(fReceived + uint64_t(at));
        }
        fRecvHash = sFnv1a64(fRecvHash, iBytes, iCount);
    }
    else
    {
        // Take the bytes somewhere, as a real reader would (this is what benchmarks pay).
        fSink.resize(2048);
        for (size_t done = 0; done < iCount; done += fSink.size())
            std::memcpy(fSink.data(), iBytes + done, std::min(fSink.size(), iCount - done));
    }
    fReceived += iCount;
    fUnread += iCount;
    fMaxUnread = std::max(fMaxUnread, fUnread);
    if (fConfig.fExpectBytes && fReceived >= fConfig.fExpectBytes && !fDoneReceivingAtUs)
        fDoneReceivingAtUs = fSim->Now();
    if ((fConfig.fReenter & kReenterClose) && fReceived >= fConfig.fCloseAfterBytes)
        Close();
    else if (fConfig.fReenter & kReenterDrain)
        Drain();
    else
        pScheduleDrain(0);
}

void SimConn::pOnWrite(uint8_t* oDest, size_t iCount)
{
    if (fDestroyed)
        return pFault("write callback after destruction");
    if (iCount > fOffered)
    {
        pFault("write callback asked for more than UTP_Write offered");
        iCount = fOffered; // the rest of oDest stays as the engine left it
    }
    fSendPattern.Fill(fWritten, oDest, iCount);
    if (fConfig.fVerify)
        fSendHash = sFnv1a64(fSendHash, oDest, iCount);
    fWritten += iCount;
    fOffered -= iCount;
}

size_t SimConn::pReadBufferSize()
{
    if (fDestroyed)
        pFault("read-buffer callback after destruction");
    if (fConfig.fReadBufferAnswer >= 0)
        return size_t(fConfig.fReadBufferAnswer);
    return fConfig.fReportReadBuffer ? size_t(fUnread) : 0;
}

void SimConn::pOnStateChange(int iState)
{
    if (fDestroyed)
        return pFault("state change after destruction");
    if (fStates.size() < kMaxStatesKept)
        fStates.push_back(iState);
    switch (iState)
    {
    case STATE_CHANGE_CONNECTED:
        fConnected = true;
        fConnectedAtUs = fSim->Now();
        pPumpNowOrLater();
        break;
    case STATE_CHANGE_WRITABLE:
        pPumpNowOrLater();
        break;
    case STATE_CHANGE_EOF:
        fEof = true;
        fEofAtUs = fSim->Now();
        fSim->At(fSim->Now(), [this] { pMaybeClose(); });
        break;
    case STATE_CHANGE_DESTROYING:
        fDestroyed = true;
        fDestroyedAtUs = fSim->Now();
        fSocket = nullptr;
        break;
    default:
        pFault("unknown state change " + std::to_string(iState));
    }
}

void SimConn::pOnError(int iCode)
{
    if (fDestroyed)
        return pFault("error callback after destruction");
    fErrors.push_back(iCode);
    if (fConfig.fCloseOnError && (fConfig.fReenter & kReenterClose))
        Close();
    else if (fConfig.fCloseOnError)
        fSim->At(fSim->Now(), [this] { Close(); });
}

void SimConn::pOnOverhead(bool iSend, size_t iCount, int iCategory)
{
    if (iCategory < 0 || iCategory > 5)
        return pFault("unknown overhead category");
    (iSend ? fOverheadSent : fOverheadRecv)[iCategory] += iCount;
}

// ---------------------------------------------------------------------------------------------
// Application steps

void SimConn::pPumpNowOrLater()
{
    if ((fConfig.fReenter & kReenterWrite) && !fInWrite)
        Pump();
    else
        pSchedulePump();
}

void SimConn::pSchedulePump()
{
    if (fPumpPending)
        return;
    fPumpPending = true;
    fSim->At(fSim->Now(),
             [this]
             {
                 fPumpPending = false;
                 Pump();
             });
}

void SimConn::pScheduleDrain(uint64_t iDelayUs)
{
    if (fDrainPending)
        return;
    fDrainPending = true;
    fSim->At(fSim->Now() + iDelayUs,
             [this]
             {
                 fDrainPending = false;
                 Drain();
             });
}

void SimConn::Pump()
{
    if (!fSocket || fCloseCalled || !fConnected)
        return;
    while (fWritten < fConfig.fSendBytes)
    {
        uint64_t left = fConfig.fSendBytes - fWritten;
        if (fConfig.fWriteChunk)
            left = std::min<uint64_t>(left, fConfig.fWriteChunk);
        fOffered = size_t(left);
        const uint64_t t0 = fSim->GetOptions().fProfile ? spNs() : 0;
        fInWrite = true;
        const bool more = UTP_Write(fSocket, size_t(left));
        fInWrite = false;
        if (fSim->GetOptions().fProfile)
            fSim->GetEndpoint(fEndpoint).fStats.fWriteNs += spNs() - t0;
        const size_t untaken = fOffered;
        fOffered = 0;
        if (!more || !fSocket)
            break; // STATE_CHANGE_WRITABLE brings us back
        if (untaken)
        {
            pFault("UTP_Write answered true without taking every byte");
            break;
        }
    }
    pMaybeClose();
}

void SimConn::Drain()
{
    if (!fUnread || fReadPaused)
        return;
    if (fConfig.fReadRateBytesPerSec == 0)
        fUnread = 0;
    else
    {
        // Reads in 10 ms steps at the configured rate.
        const uint64_t step = std::max<uint64_t>(1, fConfig.fReadRateBytesPerSec / 100);
        fUnread -= std::min(fUnread, step);
        if (fUnread)
            pScheduleDrain(10000);
    }
    if (fSocket)
        UTP_ReadBufferDrained(fSocket);
    pMaybeClose();
}

void SimConn::PauseReading(bool iPaused)
{
    fReadPaused = iPaused;
    if (!iPaused)
        pScheduleDrain(0);
}

void SimConn::pMaybeClose()
{
    if (!fSocket || fCloseCalled)
        return;
    const bool sent = fWritten >= fConfig.fSendBytes;
    const bool received = fEof || (fConfig.fExpectBytes && fReceived >= fConfig.fExpectBytes) ||
                          (!fConfig.fExpectBytes && fConfig.fClose == CloseWhen::kWhenDone);
    if ((fConfig.fClose == CloseWhen::kAfterSend && sent) ||
        (fConfig.fClose == CloseWhen::kWhenDone && sent && received && fUnread == 0))
        Close();
}

void SimConn::Close()
{
    if (!fSocket || fCloseCalled)
        return;
    fCloseCalled = true;
    UTP_Close(fSocket);
}

// ---------------------------------------------------------------------------------------------
// Results

bool SimConn::Complete() const
{
    return fDestroyed && fFaults.empty() && fWritten == fConfig.fSendBytes &&
           fReceived == fConfig.fExpectBytes && fFirstMismatch < 0;
}

std::string SimConn::Describe() const
{
    char line[512];
    std::string states, errors;
    for (int s : fStates)
        states += std::to_string(s);
    for (int e : fErrors)
        errors += std::to_string(e) + " ";
    std::snprintf(
        line, sizeof line,
        "conn@%d%s: state %s written %llu/%llu received %llu/%llu mismatch %lld "
        "reports [%s] errors [%s] closed %d destroyed %d eof %d retransmit %llu B "
        "faults %zu%s%s",
        fEndpoint, fIncoming ? " (in)" : "", fSocket ? UTP_StateName(UTP_GetState(fSocket)) : "-",
        (unsigned long long)fWritten, (unsigned long long)fConfig.fSendBytes,
        (unsigned long long)fReceived, (unsigned long long)fConfig.fExpectBytes, fFirstMismatch,
        states.c_str(), errors.c_str(), int(fCloseCalled), int(fDestroyed), int(fEof),
        (unsigned long long)fOverheadSent[BW_RETRANSMIT], fFaults.size(),
        fFaults.empty() ? "" : ": ", fFaults.empty() ? "" : fFaults[0].c_str());
    return line;
}

} // namespace quillane::UTP::Sim
